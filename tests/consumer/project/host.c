/* host.c - a C host built against an installed kxMUti: one command, a good line and a bad one. */
#include <stdio.h>

#include "kxMUtiCmd.h"

/* add <a> <b>: returns the sum as its status. */
static uint32_t CmdAdd(kxWord_t a, kxWord_t b, kxWord_t a2, kxWord_t a3, kxWord_t a4, kxWord_t a5,
                       kxWord_t a6, kxWord_t a7, kxWord_t a8, kxWord_t a9)
{
    (void)a2, (void)a3, (void)a4, (void)a5, (void)a6, (void)a7, (void)a8, (void)a9;
    return (uint32_t)(a + b);
}

int main(void)
{
    kxMUtiCmd_Init(0);
    kxMUtiCmd_Add(NULL, CmdAdd, "add", NULL, 0, "%d%d", 0, "(<a> <b>) Adds");
    const uint32_t sum = kxMUtiCmd_ExecLine(NULL, "add 40 2");
    const uint32_t bad = kxMUtiCmd_ExecLine(NULL, "ad 40 x");
    printf("sum %u, bad word 0x%X\n", (unsigned)sum, (unsigned)bad);
    return sum == 42 && bad == kxMUtiCmd_StatusBadInteger ? 0 : 1;
}
