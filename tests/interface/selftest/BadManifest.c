/*
 * BadManifest.c - small libraries whose build manifest is wrong in one way
 * each, chosen by KX_BAD_MANIFEST, so the manifest checker is seen to reject
 * every kind of fault it looks for, and to accept a correct one.
 */

#define KX_BAD_ORDER 1   /* builddate before productversion */
#define KX_BAD_PACKED 2  /* texts not padded to 4-byte boundaries */
#define KX_BAD_PADDING 3 /* a non-NUL byte inside the padding */
#define KX_BAD_VERSION 4 /* productversion other than "dev" */
#define KX_BAD_DATE 5    /* day padded with a blank, not a digit */
#define KX_BAD_TIME 6    /* one-digit hour */
#define KX_BAD_USER 7    /* empty builduser */
#define KX_BAD_EXTRA 8   /* a sixth text */
#define KX_BAD_ALIGN 9   /* section aligned to 1 byte only */
#define KX_BAD_NONE 10   /* no .modinfo section at all */

#define KX_GOOD_MANIFEST 0 /* control: a correct manifest */

#define MANIFEST __attribute__((section(".modinfo"), used, aligned(4)))

/* Correct texts, each with its NUL and the padding to the next boundary.
 * The last one gets its final NUL from the string literal. */
#define PV "productversion=dev\0\0"      /* 18 + 2 */
#define BD "builddate=Dec 06 2024\0\0\0" /* 21 + 3 */
#define BT "buildtime=12:34:56\0\0"      /* 18 + 2 */
#define BU "builduser=ci\0\0\0\0"        /* 12 + 4 */
#define BH "buildhost=box\0\0"           /* 13 + 2 + 1 */

#if KX_BAD_MANIFEST == KX_GOOD_MANIFEST
MANIFEST static const char manifest[] = PV BD BT BU BH;
#elif KX_BAD_MANIFEST == KX_BAD_ORDER
MANIFEST static const char manifest[] = BD PV BT BU BH;
#elif KX_BAD_MANIFEST == KX_BAD_PACKED
MANIFEST static const char manifest[] = "productversion=dev\0"
                                        "builddate=Dec 06 2024\0"
                                        "buildtime=12:34:56\0"
                                        "builduser=ci\0"
                                        "buildhost=box";
#elif KX_BAD_MANIFEST == KX_BAD_PADDING
MANIFEST static const char manifest[] = PV "builddate=Dec 06 2024\0X\0" BT BU BH;
#elif KX_BAD_MANIFEST == KX_BAD_VERSION
MANIFEST static const char manifest[] = "productversion=1.0\0\0" BD BT BU BH;
#elif KX_BAD_MANIFEST == KX_BAD_DATE
MANIFEST static const char manifest[] = PV "builddate=Dec  6 2024\0\0\0" BT BU BH;
#elif KX_BAD_MANIFEST == KX_BAD_TIME
MANIFEST static const char manifest[] = PV BD "buildtime=7:34:56\0\0\0" BU BH;
#elif KX_BAD_MANIFEST == KX_BAD_USER
MANIFEST static const char manifest[] = PV BD BT "builduser=\0\0" BH;
#elif KX_BAD_MANIFEST == KX_BAD_EXTRA
MANIFEST static const char manifest[] = PV BD BT BU "buildhost=box\0\0\0"
                                        "buildnote=x";
#elif KX_BAD_MANIFEST == KX_BAD_ALIGN
__attribute__((section(".modinfo"), used, aligned(1))) static const char manifest[] =
    PV BD BT BU BH;
#elif KX_BAD_MANIFEST == KX_BAD_NONE
/* Nothing: the library carries no manifest. */
#else
#error "KX_BAD_MANIFEST must name one of the cases above"
#endif

/* Something to export, so the library is an ordinary one. */
__attribute__((visibility("default"))) int kxBadManifest_Case(void)
{
    return KX_BAD_MANIFEST;
}
