/* Prints the size of the image in the unit a FITS file name selects:
 * header_of 'mosaic.fits[2]' */
#include <stdio.h>
#include <tolv/fits.h>

int main(int argc, char **argv)
{
    char tail[1024];
    FITSHead head = NULL;
    File file = argc == 2 ? ft_fitsheadopen(argv[1], &head, tail, sizeof tail, "r") : NULL;
    if (!file) return fprintf(stderr, "usage: header_of FILE[EXT]: a FITS file to read\n"), 1;
    printf("BITPIX %d NAXIS1 %d NAXIS2 %d\n", ft_headgeti(head, "BITPIX", 0, 0, NULL),
           ft_headgeti(head, "NAXIS", 1, 0, NULL), ft_headgeti(head, "NAXIS", 2, 0, NULL));
    ft_headfree(head, 1);
    fclose(file);
    return 0;
}
