/* CFITSIO's checksum routines as a reference for the library's (tests/checksum_test.cpp).
 *   cfitsio_checksum sum FILE N...  ffcsum of consecutive pieces of N 2880-byte records
 *                                   following FILE's first block, one per line
 *   cfitsio_checksum enc SUM...     ffesum of each sum, complemented, one per line
 *   cfitsio_checksum write FILE     a new file of images of several BITPIX, each unit
 *                                   given CHECKSUM and DATASUM by ffpcks
 * Exits 1 with CFITSIO's message on any failure. */
#include <fitsio.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int fail(int status)
{
    fits_report_error(stderr, status);
    return 1;
}

static int sums(const char *path, int npieces, char **nrecs)
{
    fitsfile *f = NULL;
    int status = 0, i;
    LONGLONG at = 2880;
    if (fits_open_file(&f, path, READONLY, &status)) return fail(status);
    for (i = 0; i < npieces; i++) {
        const long n = strtol(nrecs[i], NULL, 10);
        unsigned long sum = 0;
        /* ignore_err 0: a position past the end is an error */
        if (ffmbyt(f, at, 0, &status) || ffcsum(f, n, &sum, &status)) return fail(status);
        printf("%lu\n", sum);
        at += (LONGLONG)n * 2880;
    }
    fits_close_file(f, &status);
    return 0;
}

static int encodings(int n, char **values)
{
    int i;
    for (i = 0; i < n; i++) {
        char ascii[17];
        fits_encode_chksum(strtoul(values[i], NULL, 10), TRUE, ascii);
        printf("%s\n", ascii);
    }
    return 0;
}

/* One image unit of bitpix and n elements from a fixed generator, or all equal to constant
 * when it is not 0; ffpcks gives it CHECKSUM and DATASUM. */
static int image(fitsfile *f, int bitpix, long n, double constant, int *status)
{
    double *values = malloc((size_t)n * sizeof *values + 1);
    unsigned long h = 2463534242u;
    long i;
    if (!values) return *status = MEMORY_ALLOCATION;
    for (i = 0; i < n; i++) {
        h = (h * 1103515245u + 12345u) & 0xFFFFFFFFu;
        values[i] = constant != 0 ? constant
                    : bitpix == 8 ? (double)(h >> 24)
                    : bitpix == 16 ? (double)(h >> 16) - 32768.0
                    : (double)h - 2147483648.0;
        if (bitpix < 0 && constant == 0) values[i] /= 1024.0;
    }
    ffcrim(f, bitpix, n > 0 ? 1 : 0, &n, status);
    if (n > 0) ffppr(f, TDOUBLE, 1, n, values, status);
    ffpcks(f, status);
    free(values);
    return *status;
}

static int write_file(const char *path)
{
    fitsfile *f = NULL;
    int status = 0;
    char name[4096];
    snprintf(name, sizeof name, "!%s", path);
    if (fits_create_file(&f, name, &status)) return fail(status);
    /* Every data sum nonzero (CFITSIO leaves a zero one as its placeholder '         0'):
     * all bytes 0xFF, a sum full of carries; one short enough to be padded; random data. */
    if (image(f, 16, 3701, 0, &status) || image(f, 32, 1000, -1, &status) || image(f, 32, 1, 5, &status) ||
        image(f, -64, 333, 0, &status) || image(f, 8, 2881, 0, &status) || image(f, -32, 720, 0, &status))
        return fail(status);
    if (fits_close_file(f, &status)) return fail(status);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc >= 3 && strcmp(argv[1], "sum") == 0) return sums(argv[2], argc - 3, argv + 3);
    if (argc >= 2 && strcmp(argv[1], "enc") == 0) return encodings(argc - 2, argv + 2);
    if (argc == 3 && strcmp(argv[1], "write") == 0) return write_file(argv[2]);
    fprintf(stderr, "usage: cfitsio_checksum sum FILE N... | enc SUM... | write FILE\n");
    return 2;
}
