/* The public header compiles as C99 and the library links from a C program. */
#include "fits.h"

#include <stdio.h>
#include <string.h>

static int failures = 0;

static void expect_bytes(const char *what, const unsigned char *got, const unsigned char *want, size_t n)
{
    if (memcmp(got, want, n) != 0) {
        fprintf(stderr, "c_api_test: %s: bytes differ\n", what);
        failures++;
    }
}

int main(void)
{
    unsigned char b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const unsigned char want4[8] = {4, 3, 2, 1, 8, 7, 6, 5};
    const unsigned char want8[8] = {4, 3, 2, 1, 8, 7, 6, 5};
    FITSBuff card;
    swap4(b, b, 8);
    expect_bytes("swap4 in place", b, want4, 8);
    swap2(b, b, 8);
    swap2(b, b, 8);
    expect_bytes("swap2 twice", b, want8, 8);
    if (sizeof(card) != 80) {
        fprintf(stderr, "c_api_test: FITSBuff is %u bytes\n", (unsigned)sizeof(card));
        failures++;
    }
    {
        FITSHead head = ft_headinit(NULL, 0);
        FITSCard found = NULL;
        ft_headseti(head, "NAXIS", 2, 4096, "rows", 0);
        if (ft_headgeti(head, "NAXIS", 2, 0, &found) != 4096 || found != head->cards || head->ncard != 2) {
            fprintf(stderr, "c_api_test: NAXIS2 not set and read back\n");
            failures++;
        }
        ft_headfree(head, 1);
    }
    {
        /* A block with CHECKSUM set for four data bytes checks out; ~0xFFFFFFFF encodes as zeros. */
        FITSBuff block[36];
        const unsigned char data[4] = {0xFF, 0, 0, 1};
        char ascii[17];
        ft_cardclr(block, 36);
        ft_cardsets(ft_cardkey(&block[0], "CHECKSUM", 0), "", NULL);
        ft_cardkey(&block[1], "END", 0);
        if (ft_checksumset(block, 36, ft_checksum(data, 4, 0)) != 1 || ft_checksumcheck(block, 36, data, 4) != 1 ||
            strcmp(ft_checksumenc(0xFFFFFFFFu, ascii), "0000000000000000") != 0) {
            fprintf(stderr, "c_api_test: CHECKSUM not set and checked\n");
            failures++;
        }
    }
    return failures == 0 ? 0 : 1;
}
