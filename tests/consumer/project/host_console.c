/* host_console.c - a host of the installed console companion: completes a
 * partly typed command name without a terminal. */
#include <stdio.h>
#include <string.h>

#include "kxMUtiConsole.h"

static uint32_t CmdKeep(kxWord_t a0, kxWord_t a1, kxWord_t a2, kxWord_t a3, kxWord_t a4,
                        kxWord_t a5, kxWord_t a6, kxWord_t a7, kxWord_t a8, kxWord_t a9)
{
    (void)a0, (void)a1, (void)a2, (void)a3, (void)a4, (void)a5, (void)a6, (void)a7, (void)a8,
        (void)a9;
    return 0;
}

int main(void)
{
    kxMUtiCon_Completion_t comp;
    kxMUtiCmd_Init(0);
    kxMUtiCmd_Add(NULL, CmdKeep, "keep", NULL, 0, "", 0, "Keeps");
    uint32_t status = kxMUtiCon_Complete(NULL, "ke", 2, &comp);
    int ok = status == KX_OK && comp.candidates.used == 1 &&
             strcmp((const char *)comp.candidates.pEntries[0], "keep") == 0;
    printf("%u candidate(s)%s\n", (unsigned)comp.candidates.used, ok ? ", keep" : "");
    kxMUtiCon_CompletionDeInit(&comp);
    return ok ? 0 : 1;
}
