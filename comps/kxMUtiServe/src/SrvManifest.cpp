/*
 * SrvManifest.cpp - the texts of the interpreter library's .modinfo
 * section, for the greeting.  The library file is the one the loader
 * mapped (found through one of its exported symbols); its section headers
 * are read from the file, 32-bit or 64-bit ELF of either byte order.
 */
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "Srv.h"
#include "kxMUtiCmd.h"

namespace {

constexpr uint32_t kMaxSection = 4096;  /* .modinfo holds five short texts */
constexpr uint32_t kMaxNames = 65536;   /* section name table read at most */
constexpr uint32_t kMaxSections = 4096; /* section headers looked at */
constexpr char kSectionName[] = ".modinfo";

struct Elf {
    int fd;
    bool is64;
    bool big;
};

uint64_t Get(const Elf &elf, const unsigned char *p, int size)
{
    uint64_t v = 0;
    for (int i = 0; i < size; i++)
        v |= static_cast<uint64_t>(p[elf.big ? size - 1 - i : i]) << (8 * i);
    return v;
}

bool ReadAt(const Elf &elf, uint64_t offset, void *p, size_t n)
{
    return pread(elf.fd, p, n, static_cast<off_t>(offset)) == static_cast<ssize_t>(n);
}

/* Finds the section: its file offset and size. */
bool FindSection(const Elf &elf, const unsigned char *pHdr, uint64_t *pOffset, uint64_t *pSize)
{
    const uint64_t shoff = elf.is64 ? Get(elf, pHdr + 0x28, 8) : Get(elf, pHdr + 0x20, 4);
    const uint32_t shentsize = static_cast<uint32_t>(Get(elf, pHdr + (elf.is64 ? 0x3A : 0x2E), 2));
    const uint32_t shnum = static_cast<uint32_t>(Get(elf, pHdr + (elf.is64 ? 0x3C : 0x30), 2));
    const uint32_t shstrndx = static_cast<uint32_t>(Get(elf, pHdr + (elf.is64 ? 0x3E : 0x32), 2));
    const uint32_t need = elf.is64 ? 64u : 40u;
    if (shentsize < need || shnum == 0 || shnum > kMaxSections || shstrndx >= shnum)
        return false;

    unsigned char sh[64];
    auto sectionAt = [&](uint32_t i, uint32_t *pName, uint64_t *pOff, uint64_t *pLen) {
        if (!ReadAt(elf, shoff + static_cast<uint64_t>(i) * shentsize, sh, need))
            return false;
        *pName = static_cast<uint32_t>(Get(elf, sh, 4));
        *pOff = elf.is64 ? Get(elf, sh + 0x18, 8) : Get(elf, sh + 0x10, 4);
        *pLen = elf.is64 ? Get(elf, sh + 0x20, 8) : Get(elf, sh + 0x14, 4);
        return true;
    };
    uint32_t name;
    uint64_t namesOff, namesLen;
    if (!sectionAt(shstrndx, &name, &namesOff, &namesLen))
        return false;
    if (namesLen > kMaxNames)
        namesLen = kMaxNames;
    char *pNames = static_cast<char *>(malloc(namesLen + 1));
    if (pNames == nullptr || !ReadAt(elf, namesOff, pNames, namesLen)) {
        free(pNames);
        return false;
    }
    pNames[namesLen] = '\0';
    bool found = false;
    for (uint32_t i = 1; i < shnum && !found; i++) {
        uint64_t off, len;
        if (!sectionAt(i, &name, &off, &len))
            break;
        if (name < namesLen && strcmp(pNames + name, kSectionName) == 0) {
            *pOffset = off;
            *pSize = len;
            found = true;
        }
    }
    free(pNames);
    return found;
}

/* Appends "key":"value" pairs for the key=value texts of the section. */
bool AddTexts(SrvBuf *pOut, const char *pText, uint32_t len)
{
    bool first = true;
    uint32_t i = 0;
    while (i < len) {
        const char *p = pText + i;
        const size_t n = strnlen(p, len - i);
        i += static_cast<uint32_t>(n) + 1;
        const char *pEq = static_cast<const char *>(memchr(p, '=', n));
        if (n == 0 || pEq == nullptr)
            continue; /* padding up to the next 4-byte boundary */
        if ((!first && !SrvBuf_AddStr(pOut, ",")) ||
            !SrvBuf_AddJson(pOut, p, static_cast<size_t>(pEq - p)) || !SrvBuf_AddStr(pOut, ":") ||
            !SrvBuf_AddJson(pOut, pEq + 1, n - static_cast<size_t>(pEq + 1 - p)))
            return false;
        first = false;
    }
    return true;
}

} // namespace

bool Srv_ManifestJson(SrvBuf *pOut)
{
    Dl_info info;
    char text[kMaxSection];
    uint32_t textLen = 0;

    if (dladdr(reinterpret_cast<void *>(&kxMUtiCmd_Init), &info) != 0 &&
        info.dli_fname != nullptr) {
        Elf elf{open(info.dli_fname, O_RDONLY | O_CLOEXEC), false, false};
        unsigned char hdr[64];
        if (elf.fd >= 0 && ReadAt(elf, 0, hdr, sizeof hdr) && memcmp(hdr, "\177ELF", 4) == 0 &&
            (hdr[4] == 1 || hdr[4] == 2) && (hdr[5] == 1 || hdr[5] == 2)) {
            elf.is64 = hdr[4] == 2;
            elf.big = hdr[5] == 2;
            uint64_t off, len;
            if (FindSection(elf, hdr, &off, &len)) {
                textLen = static_cast<uint32_t>(len < kMaxSection ? len : kMaxSection);
                if (!ReadAt(elf, off, text, textLen))
                    textLen = 0;
            }
        }
        if (elf.fd >= 0)
            close(elf.fd);
    }
    return SrvBuf_AddStr(pOut, "{") && AddTexts(pOut, text, textLen) && SrvBuf_AddStr(pOut, "}");
}
