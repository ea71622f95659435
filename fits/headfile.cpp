// Keeping a header's cards and its interpreted descriptions in step: the descriptions
// are rebuilt from the cards, or stored back into them before the header is written.
#include "fits.h"

extern "C" {

void ft_syncdata(FITSHead fits)
{
    if (!fits) return;
    ft_basicfree(fits->basic);
    fits->basic = nullptr;
    ft_imagefree(fits->image);
    fits->image = nullptr;
    // The image loader needs the basic description, so the order matters.
    fits->basic = ft_basicloadhead(fits);
    fits->image = ft_imageloadhead(fits);
    // The table description is loaded last: it reads the basic description's first axis.
    ft_tablefree(fits->table);
    fits->table = ft_tableloadhead(fits);
}

void ft_synchead(FITSHead fits)
{
    if (!fits) return;
    if (fits->basic) ft_basicstorhead(fits, fits->basic);
    if (fits->image) ft_imagestorhead(fits, fits->image);
    if (fits->table) ft_tablestorhead(fits, fits->table);
}

} // extern "C"
