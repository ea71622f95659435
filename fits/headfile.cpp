// Keeping a header's interpreted descriptions in step with its cards.
#include "fits.h"

extern "C" {

// The interpreters of basic, image and table headers fill the descriptions here;
// until they exist a header carries none.
void ft_syncdata(FITSHead) {}

} // extern "C"
