/* fits.h: the public C interface of the tolv FITS library.
 * FITS files are 2880-byte blocks: headers of 80-character cards ending with END,
 * then big-endian data.  Every ft_ function accepts null cards and headers and then
 * does nothing or returns none; failures are reported by results only. */
#ifndef TOLV_FITS_H
#define TOLV_FITS_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Everything declared here is the library's interface, exported from the shared
 * library; the library is built with everything else hidden. */
#if defined(__GNUC__) && __GNUC__ >= 4
#pragma GCC visibility push(default)
#endif

/* ---- The units of a file ------------------------------------------------- */

/* A card is 80 characters, a block 36 cards; headers and data units are whole
 * blocks.  FT_NAME_BYTES is the size of the buffers the openers split a file
 * name into (path, extension name, options), terminator included, and the
 * longest tail ft_fitsheadopen fills: a buffer of it holds every part they use. */
enum {
    FT_CARD_BYTES = 80,
    FT_BLOCK_CARDS = 36,
    FT_BLOCK_BYTES = 2880,
    FT_NAME_BYTES = 1024
};

/* ---- Records ------------------------------------------------------------ */

/* One 80-column card; no terminator, the cards of a header lie back to back. */
typedef struct { char c[80]; } FITSBuff;
typedef FITSBuff *FITSCard;

/* The buffered stream through which headers and data are read and written. */
typedef FILE *File;

/* An affine 2-D transform applied to the row vector (x, y, 1): rows 0 and 1 are
 * the linear part, row 2 the offset. */
typedef double Matrix3[3][2];

/* Value type of a card. */
typedef enum {
    FT_UNKNOWN = 0,
    FT_COMMENT = 1,
    FT_LOGICAL = 2,
    FT_INTEGER = 3,
    FT_STRING = 4,
    FT_VALUE = 5,
    FT_REAL = 6,
    FT_COMPLEX = 7
} FITSType;

/* Storage kinds of a header's cards (FITSHead.mem). */
enum {
    FT_MEM_OWNED = 1,  /* owned, acard*80 characters plus a terminator */
    FT_MEM_MMAP = 2,   /* inside a memory mapping of a file */
    FT_MEM_SHM = 3,    /* inside an attached System V shared-memory segment */
    FT_MEM_BUFFER = 4  /* a caller's buffer, viewed in place */
};

/* A linear transform and its inverse; has_wcs 0 passes points unchanged. */
typedef struct _FITSLinWCS {
    int has_wcs;
    Matrix3 fwd;
    Matrix3 rev; /* all zero when fwd is singular */
} *FITSLinWCS;

/* What the basic keywords say about a header-and-data unit.  The four sizes are
 * derived once when the record is loaded; they are 64-bit and overflow-checked. */
typedef struct _FITSBasic {
    int simple;         /* 1 for a primary header (SIMPLE = T) */
    char *name;         /* "primary", EXTNAME or "None"; owned */
    char *hduname;      /* HDUNAME or "None"; null for a primary header; owned */
    int extn;           /* EXTVER, 0 when absent */
    int bitpix;         /* BITPIX, 0 when absent */
    int naxes;          /* NAXIS, at most 10 */
    int naxis[10];      /* NAXIS1..NAXISn; 0 past naxes */
    int gcount;         /* GCOUNT, 1 when absent */
    int pcount;         /* PCOUNT, 0 when absent */
    int64_t databytes;  /* data unit size without its fill */
    int64_t datapixls;  /* number of data elements */
    int64_t databloks;  /* 2880-byte blocks the data unit occupies */
    int64_t row_bytes;  /* bytes of one row along the first axis */
} *FITSBasic;

/* Image scaling, blank value and the logical, detector and amplifier transforms. */
typedef struct _FITSImage {
    int has_bscale;
    double dbscale;
    int has_bzero;
    double dbzero;
    int has_blank;
    int blank;
    struct _FITSLinWCS log;
    struct _FITSLinWCS det;
    struct _FITSLinWCS amp;
} *FITSImage;

/* One column of a table extension. */
typedef struct _FITSTCol {
    int type;       /* TFORM element letter; 'A' for ASCII-table columns */
    int n;          /* repeat count */
    int size;       /* bytes per element (field width for ASCII columns) */
    int width;      /* bytes the column occupies in a row */
    int offset;     /* 0-based byte offset in the row */
    char *format;   /* printf-style display format; owned */
    int heap;       /* 1 for a variable-length array column */
    char *name;     /* TTYPEn or null; owned */
    char *unit;     /* TUNITn or null; owned */
    char *disp;     /* TDISPn or null; owned */
    int prec;
    int has_scale;
    double scale;
    int has_zero;
    double zero;
    int has_blank;
    char *ablank;   /* TNULLn as text or null; owned */
    double dblank;
} *FITSTCol;

/* A table extension: its kind and its columns. */
typedef struct _FITSTable {
    int tabtype;    /* 1 ASCII table, 0 binary */
    int tfields;
    FITSTCol col;   /* owned array of tfields columns */
} *FITSTable;

/* One header: its cards, optional index, where it lies and what it describes. */
typedef struct _FITSHead {
    FITSCard cards;     /* acard cards; the first ncard in use, the last of them END */
    FITSCard *index;    /* optional sorted index of ncard entries */
    FITSCard last;      /* first card at creation; not consulted */
    int acard;          /* capacity in cards */
    int ncard;          /* cards in use, END included */
    char *filename;     /* not consulted */
    File file;          /* not consulted */
    int64_t seek;       /* stream position of the first card, -1 unknown, 0 otherwise */
    int64_t data;       /* stream position of the data, or its offset from the first card */
    int step;
    void *cache;
    int nbuffers;
    int buffrows;
    int mem;            /* storage kind, FT_MEM_* */
    char *mmap_here;    /* start of the mapping or segment holding the cards (kinds 2, 3) */
    int64_t mmap_size;  /* its length in bytes */
    int sync;           /* descriptions must be stored into the cards before writing */
    FITSBasic basic;
    FITSImage image;
    FITSTable table;
    struct _FITSHead *primary; /* counted reference to the primary header, or null */
    int rfcount;
} *FITSHead;

/* A header with its data array and that array's pixel type; not built by the library. */
typedef struct _FITSFile {
    FITSHead head;
    void *data;
    int bitpix;
} *FITSFile;

/* ---- Cards ------------------------------------------------------------- */

/* The comment sentinel, recognised by its address: passed as the comment of a
 * card writer it keeps the comment the card holds now.  FT_comment is the empty
 * text it points to; any other empty text means no comment. */
extern const char FT_comment[1];
extern const char *const FT_Comment;

/* Split a card: value (at least 73 characters) gets the value text, *type its
 * FITSType, *index the number from column 6, comm (at least 80) the comment;
 * type, index and comm may be null.  Returns value; a null card gives "", and so
 * does an undefined value (only blanks before the comment's slash), as FT_INTEGER. */
char *ft_cardpar(FITSCard card, FITSType *type, char *value, int *index, char *comm);
/* The value text of card in a static buffer of the calling thread (each thread
 * has its own), valid until that thread's next card read. */
char *ft_cardget(FITSCard card);
/* 1 when the value starts with T or t, else 0. */
int ft_cardgetl(FITSCard card);
/* The value read as strtol with base 0 reads it (octal, hex), 0 when none. */
int ft_cardgeti(FITSCard card);
/* The value read as strtod reads it (no D exponent), 0.0 when none. */
double ft_cardgetr(FITSCard card);
/* A malloc'ed copy of the value text ("" for a null card); the caller frees it. */
char *ft_cardgets(FITSCard card);

/* Write card: keyword from name and index n (columns 1-8 kept when name is null),
 * value of the given type (int for logicals and integers, double for reals with
 * prec decimals, text otherwise), then comm (null none, FT_Comment keeps the old
 * one).  Nothing is written past column 80.  Returns card. */
FITSCard ft_cardfmt(FITSCard card, const char *name, int n, FITSType type,
                    const void *value, int prec, const char *comm);
/* A bare keyword card: name and n, blanks after. */
FITSCard ft_cardkey(FITSCard card, const char *name, int n);
/* Rewrite the value and comment of card, keeping its keyword. */
FITSCard ft_cardset(FITSCard card, FITSType type, const void *value, int prec, const char *comm);
/* ft_cardset of a logical: T when lvalue is nonzero, else F. */
FITSCard ft_cardsetl(FITSCard card, int lvalue, const char *comm);
/* ft_cardset of an integer. */
FITSCard ft_cardseti(FITSCard card, int ivalue, const char *comm);
/* ft_cardset of a real with prec digits after the decimal point. */
FITSCard ft_cardsetr(FITSCard card, double rvalue, int prec, const char *comm);
/* ft_cardset of a quoted string (quotes in svalue are left out). */
FITSCard ft_cardsets(FITSCard card, const char *svalue, const char *comm);
/* Set ncards cards from card on to blanks.  Returns card. */
FITSCard ft_cardclr(FITSCard card, int ncards);
/* Copy card2 over card1 (they may overlap); nothing when either is null.  Returns card1. */
FITSCard ft_cardcpy(FITSCard card1, FITSCard card2);

/* ---- Byte order --------------------------------------------------------- */

/* Reverse each 2-, 4- or 8-byte element of nbytes bytes from `from` into `to`
 * (which may equal `from`).  Trailing bytes that do not make a whole element are
 * copied unchanged. */
void swap2(void *to, const void *from, int64_t nbytes);
void swap4(void *to, const void *from, int64_t nbytes);
void swap8(void *to, const void *from, int64_t nbytes);

/* ---- Pixel arrays and data I/O --------------------------------------------- */

/* Two-dimensional views of a flat row-major array: an array of row pointers,
 * biased so that view[ystar + y] is row y and, taken as a pointer to the element
 * type, view[ystar + y][xstar + x] is flat element y*xsize + x. */

/* A view of a new zero-filled array of xsize*ysize elements of size bytes; null on
 * failure or negative sizes.  Release it with ft_free2d. */
void **ft_alloc2d(int size, int xstar, int ystar, int xsize, int ysize);
/* A new view of the caller's array ptr, which it does not own; null when ptr is null,
 * a size is negative or allocation fails.  Release it with free(view + ystar). */
void **ft_make2d(void *ptr, int size, int xstar, int ystar, int xsize, int ysize);
/* Release a view from ft_alloc2d and its array, given the arguments it was made with. */
void ft_free2d(void **ptr2d, int size, int xstar, int ystar);

/* Pixel type codes: BITPIX 8, 16, 32, 64, -32, -64, and 4104, 4112, 4128, 4160 for
 * unsigned 8-, 16-, 32- and 64-bit integers.  Element size is (|code| & ~4096) / 8. */

/* Convert npix elements of code type2 at v2 into code type1 at v1.  hasscale 0: a
 * plain conversion; else direction nonzero gives v1 = v2*bscale + bzero and direction
 * 0 gives v1 = (v2 - bzero)/bscale, computed in double; but from an integer type with
 * a 64-bit integer on either side, bscale 1 and a whole bzero (|bzero| < 2^64), exactly
 * (rounded once into a floating type).  Into integers, floating values are truncated
 * toward zero (rounded to nearest, ties to even, when direction 0 removes a scale other
 * than 1 and 0), saturate at the type's limits, and NaN gives 0; plain integer
 * conversions narrow to their low bits, exact scaled ones saturate.  v1 may equal v2.
 * An unknown code does nothing. */
void ft_acht(int type1, void *v1, int type2, const void *v2, int64_t npix, int direction, int hasscale,
             double bscale, double bzero);

/* The converters behind ft_acht, named acht + destination letter + source letter:
 * c int8, s int16, i int32, l int32, r float, d double, t uint8, u uint16, v uint32,
 * w uint32, k int64, x uint64.  Arguments and rules as ft_acht's. */
#define FT_ACHT_DECLARE(X, Y, TX, TY) \
    void acht##X##Y(TX *v1, const TY *v2, int64_t npix, int direction, int hasscale, double bscale, \
                    double bzero);
#define FT_ACHT_DECLARE_ROW(X, TX) \
    FT_ACHT_DECLARE(X, c, TX, int8_t) FT_ACHT_DECLARE(X, s, TX, int16_t) \
    FT_ACHT_DECLARE(X, i, TX, int32_t) FT_ACHT_DECLARE(X, l, TX, int32_t) \
    FT_ACHT_DECLARE(X, r, TX, float) FT_ACHT_DECLARE(X, d, TX, double) \
    FT_ACHT_DECLARE(X, t, TX, uint8_t) FT_ACHT_DECLARE(X, u, TX, uint16_t) \
    FT_ACHT_DECLARE(X, v, TX, uint32_t) FT_ACHT_DECLARE(X, w, TX, uint32_t) \
    FT_ACHT_DECLARE(X, k, TX, int64_t) FT_ACHT_DECLARE(X, x, TX, uint64_t)
FT_ACHT_DECLARE_ROW(c, int8_t)
FT_ACHT_DECLARE_ROW(s, int16_t)
FT_ACHT_DECLARE_ROW(i, int32_t)
FT_ACHT_DECLARE_ROW(l, int32_t)
FT_ACHT_DECLARE_ROW(r, float)
FT_ACHT_DECLARE_ROW(d, double)
FT_ACHT_DECLARE_ROW(t, uint8_t)
FT_ACHT_DECLARE_ROW(u, uint16_t)
FT_ACHT_DECLARE_ROW(v, uint32_t)
FT_ACHT_DECLARE_ROW(w, uint32_t)
FT_ACHT_DECLARE_ROW(k, int64_t)
FT_ACHT_DECLARE_ROW(x, uint64_t)
#undef FT_ACHT_DECLARE_ROW
#undef FT_ACHT_DECLARE

/* Convert n bytes of type values between file (big-endian) and host order into to
 * (which may equal from): |type| 16, 32, 64 reverse 2-, 4-, 8-byte groups on a
 * little-endian host; anything else, or a big-endian host, copies.  Returns to, or
 * null when either pointer is null. */
void *ft_dataswap(void *to, const void *from, int64_t n, int type);

/* Read the data unit of fits from file (positioned at its first byte) as pixtype
 * values (0: the stored bytes; -1: the unit's BITPIX), scaled by BSCALE and BZERO.
 * Into dataptr, or when null a new malloc'd array; null on failure (then nothing
 * allocated here is kept).  dataptr must hold databloks*2880 bytes when pixtype is 0
 * or of the BITPIX size, else datapixls elements of pixtype.  A seekable stream
 * shorter than the unit fails before anything is allocated; from a pipe the new
 * array grows in doubling steps with the bytes that arrive, never allocated at the
 * size the header claims before those bytes are there. */
void *ft_dataread(File file, FITSHead fits, void *dataptr, int pixtype);

/* Write data (datapixls values of pixtype; 0 and -1 as for ft_dataread) as the data
 * unit of fits, scaling removed, in file order and padded with zeros to a whole block.
 * When pixtype has the BITPIX size the conversion happens in data itself.  1 on
 * success, 0 on a null argument, an unknown type, failed allocation or write error;
 * nothing is written for the first three. */
int ft_datawrite(File file, FITSHead fits, void *data, int pixtype);

/* ---- Card search and header keyword access ----------------------------------- */

/* Keyword order of two cards given as addresses of card pointers (the qsort element
 * form): same columns 1-5 and nonzero numbers from column 6 compare by number,
 * otherwise columns 1-8 as unsigned bytes; null cards come after every card and
 * equal one another.  Reads only the cards' 80 columns. */
int ft_compare(const void *a, const void *b);
/* (Re)build the sorted index of the header's ncard cards; left null when memory fails.
 * The index block is one malloc'ed allocation starting at fits->index.  A card renamed
 * in place by ft_cardfmt, ft_cardkey, ft_cardcpy or ft_cardclr is seen by the next
 * indexed search, which checks the index and rebuilds it; after bytes written into
 * cards directly, call ft_headindex (a card renamed away is still caught). */
void ft_headindex(FITSHead fits);
/* First card whose columns 1-8 equal key's (*match 1), else the last card of its
 * family (same columns 1-5, digits or blanks in 6-8), else null; match may be null. */
FITSCard ft_cardfindseq(FITSHead fits, FITSCard key, int *match);
/* Binary search of the index (built when missing, rebuilt after a rename in place):
 * a card equal under ft_compare (*match 1), else the card the search ended on when its
 * columns 1-5 equal key's.  Searches sequentially when no index can be built. */
FITSCard ft_cardfindidx(FITSHead fits, FITSCard key, int *match);
/* The card matching key (indexed search when the header has an index); when none
 * matches and add is nonzero, a copy of key inserted after the near card (before
 * END without one).  Null when nothing matched or the insertion failed. */
FITSCard ft_cardfind(FITSHead fits, FITSCard key, int add);
/* ft_cardfindseq over the 36 cards of one block from cards on; *nhist counts the
 * block's HISTORY cards when no card matched.  match and nhist may be null. */
FITSCard ft_cardfindblok(FITSCard cards, FITSCard key, int *match, int *nhist);

/* Copy card into the header after here (a card in use; null means just before END).
 * Owned storage grows by 36 cards; other storage, or failed growth, gives null and
 * leaves the cards unchanged.  Discards the index.  Returns the new card. */
FITSCard ft_cardins(FITSHead fits, FITSCard card, FITSCard here);
/* ft_cardins just before END. */
FITSCard ft_cardapp(FITSHead fits, FITSCard card);
/* Remove card (a card in use, not the last one, END) by moving the cards after it up
 * and blanking the freed place.  Discards the index.  Returns card, or null. */
FITSCard ft_carddel(FITSHead fits, FITSCard card);

/* Keyword name with index n (0 adds nothing): the card found, by binary search when
 * the header has an index; with add, a bare key card inserted for a missing one. */
FITSCard ft_headfind(FITSHead fits, const char *name, int n, int add);
/* ft_cardfindseq with the key of name and n. */
FITSCard ft_headfindseq(FITSHead fits, const char *name, int n, int *match);
/* ft_cardfindidx with the key of name and n. */
FITSCard ft_headfindidx(FITSHead fits, const char *name, int n, int *match);

/* The keyword's value text in ft_cardget's buffer of the calling thread ("" when
 * missing); *card gets the card found or null. */
char *ft_headget(FITSHead fits, const char *name, int n, FITSCard *card);
/* The keyword's logical value (1 or 0), else ldefault; card may be null. */
int ft_headgetl(FITSHead fits, const char *name, int n, int ldefault, FITSCard *card);
/* The keyword's value read as an integer, else idefault; card may be null. */
int ft_headgeti(FITSHead fits, const char *name, int n, int idefault, FITSCard *card);
/* The keyword's value read as a real, else ddefault; card may be null. */
double ft_headgetr(FITSHead fits, const char *name, int n, double ddefault, FITSCard *card);
/* A malloc'ed copy of the keyword's value, else of sdefault (null when sdefault is
 * null or memory fails); the caller frees it.  card may be null. */
char *ft_headgets(FITSHead fits, const char *name, int n, const char *sdefault, FITSCard *card);

/* Rewrite the keyword's value and comment (FT_Comment keeps the comment), creating
 * the keyword beside its family or before END when missing; append retries as an
 * append when that fails.  Returns the card written, or null. */
FITSCard ft_headsetl(FITSHead fits, const char *name, int n, int lvalue, const char *comm, int append);
FITSCard ft_headseti(FITSHead fits, const char *name, int n, int ivalue, const char *comm, int append);
FITSCard ft_headsetr(FITSHead fits, const char *name, int n, double rvalue, int prec, const char *comm,
                     int append);
FITSCard ft_headsets(FITSHead fits, const char *name, int n, const char *svalue, const char *comm,
                     int append);

/* Insert a new card after here (null: before END) without looking for an existing one;
 * v writes its text unquoted.  Returns the new card, or null. */
FITSCard ft_headinsl(FITSHead fits, const char *name, int n, int lvalue, const char *comm, FITSCard here);
FITSCard ft_headinsi(FITSHead fits, const char *name, int n, int ivalue, const char *comm, FITSCard here);
FITSCard ft_headinsr(FITSHead fits, const char *name, int n, double dvalue, int prec, const char *comm,
                     FITSCard here);
FITSCard ft_headinss(FITSHead fits, const char *name, int n, const char *svalue, const char *comm,
                     FITSCard here);
FITSCard ft_headinsv(FITSHead fits, const char *name, int n, const char *vvalue, const char *comm,
                     FITSCard here);
/* The inserters with here null: a new card just before END. */
FITSCard ft_headappl(FITSHead fits, const char *name, int n, int lvalue, const char *comm);
FITSCard ft_headappi(FITSHead fits, const char *name, int n, int ivalue, const char *comm);
FITSCard ft_headappr(FITSHead fits, const char *name, int n, double dvalue, int prec, const char *comm);
FITSCard ft_headapps(FITSHead fits, const char *name, int n, const char *svalue, const char *comm);
FITSCard ft_headappv(FITSHead fits, const char *name, int n, const char *vvalue, const char *comm);
/* Delete the keyword's card as ft_headfind finds it; returns its place (now holding
 * the card that followed), or null when missing. */
FITSCard ft_headdel(FITSHead fits, const char *name, int n);

/* ---- Header interpretation, transforms and lifecycle ------------------------- */

/* A new header.  data null: bytes/80 blank owned cards rounded up to whole 36-card
 * blocks (36 for bytes 0), END first.  bytes > 0: the cards of data viewed in place up
 * to END, capacity whole blocks within the buffer, interpreted; without END, an
 * uninterpreted header holding only END, buffer untouched.  bytes <= 0: data adopted
 * as owned storage of -bytes/80 cards, counts left to the caller, not interpreted.
 * Null when memory fails or the count does not fit an int. */
FITSHead ft_headinit(void *data, int64_t bytes);
/* Drop one reference; at zero release index, descriptions, storage (owned cards only
 * when freecards), mapping or segment, the primary's reference and the record. */
void ft_headfree(FITSHead fits, int freecards);
/* An independent, interpreted copy with owned cards and one reference, holding its own
 * reference to the source's primary; an empty header for null; null when memory fails. */
FITSHead ft_headcopy(FITSHead fits);
/* Make prim the primary of fits, adding a reference to prim and dropping the one a
 * previous link held. */
void ft_primlink(FITSHead prim, FITSHead fits);
/* Point the header at other cards; counts, capacity, kind and index stay as they are. */
void ft_setcards(FITSHead fits, void *cards);
/* A copy made a primary header: first card SIMPLE = T (its comment kept), EXTVER,
 * GCOUNT, PCOUNT, EXTEND, NEXTEND and INHERIT deleted once each, reinterpreted. */
FITSHead ft_primary(FITSHead fits);
/* A copy of fits1 with the cards of fits2 but its END (and a leading SIMPLE or XTENSION)
 * merged in: new keywords after their family or before END, HISTORY, COMMENT and
 * CONTINUE appended, others overwritten only when copy is set; reinterpreted. */
FITSHead ft_headmerge(FITSHead fits1, FITSHead fits2, int copy);

/* The basic description read from the cards; null for a null header, for NAXIS outside
 * 0..10, a negative NAXISn, PCOUNT or GCOUNT, sizes beyond int64_t, or no memory.
 * The data unit holds (NAXIS1 x ... x NAXISn + PCOUNT) x GCOUNT elements of |BITPIX|/8
 * bytes, none without axes; random groups (GROUPS = T and NAXIS1 = 0 in a primary
 * header) hold (PCOUNT + NAXIS2 x ... x NAXISn) x GCOUNT.  The caller releases it
 * with ft_basicfree. */
FITSBasic ft_basicloadhead(FITSHead fits);
/* Write SIMPLE (not for an XTENSION header), BITPIX, NAXIS, NAXISn (surplus ones
 * deleted, new ones after the last axis card), GCOUNT and PCOUNT into the cards. */
void ft_basicstorhead(FITSHead fits, FITSBasic basic);
/* Release a basic description and its texts; null is ignored. */
void ft_basicfree(FITSBasic basic);
/* The image description (scaling, blank, LTM/LTV, DTM/DTV, ATM/ATV transforms) of a
 * primary or IMAGE extension header whose basic description is loaded, else null. */
FITSImage ft_imageloadhead(FITSHead fits);
/* Write BLANK (integer data only), BZERO and BSCALE when flagged and the applied
 * transforms (log, amp, det) into the cards; reals keep at least 7 decimals and all
 * the digits that make them read back the same. */
void ft_imagestorhead(FITSHead fits, FITSImage image);
/* Release an image description; null is ignored. */
void ft_imagefree(FITSImage image);

/* The point (x0, y0) through fwd (direction nonzero) or rev into (*x1, *y1); 1 when
 * applied, 0 when lcs is null or has_wcs is 0 (the point passes unchanged). */
int ft_trxlcs(FITSLinWCS lcs, double x0, double y0, double *x1, double *y1, int direction);
/* As ft_trxlcs for an extent: the diagonal scales only, no offset, signs kept. */
int ft_trxsiz(FITSLinWCS lcs, double x0, double y0, double *x1, double *y1, int direction);
/* Write LTM1_1, LTM1_2, LTM2_1, LTM2_2, LTV1, LTV2, each only when it differs from the
 * identity; existing cards are rewritten, missing ones added. */
void ft_loglcs(FITSHead fits, double m11, double m12, double m21, double m22, double v1, double v2);
/* Write CTYPEn 'LINEAR', then CRVALn, CRPIXn when nonzero, CUNITn when given, and
 * CD1_1 ... CD2_2 when they differ from the identity. */
void ft_wcslcs(FITSHead fits, double m11, double m12, double m21, double m22, double crv1, double crv2,
               double crp1, double crp2, const char *cun1, const char *cun2);
/* The inverse transform of in written into out (a different matrix): 1, or 0 with out
 * untouched when in is singular, nearly so (cancellation below 1e-15) or not finite. */
int ft_inverse(Matrix3 in, Matrix3 out);

/* ---- Table interpretation ------------------------------------------------------ */

/* The description of a TABLE, BINTABLE, A3DTABLE or 3DTABLE extension, one column per
 * TFIELDS; null for other headers, TFIELDS outside 1..999, a negative or overlong TFORM
 * number, a row beyond int, an ASCII TBCOL outside 1..NAXIS1, or no memory.  Builds the
 * header's index.  The caller releases it with ft_tablefree. */
FITSTable ft_tableloadhead(FITSHead fits);
/* Write the header's basic description back into its cards; the columns are not
 * written.  Nothing when fits, table or the basic description is null. */
void ft_tablestorhead(FITSHead fits, FITSTable table);
/* Release a table description, its columns and their texts; null is ignored. */
void ft_tablefree(FITSTable table);
/* Bytes per element of a TFORM letter (K 8; P 8 and Q 16, the descriptors) or of a
 * pixel type code (BITPIX 64 included); 0 for anything else. */
int ft_sizeof(int c);
/* The printf conversion ("s", "ud", "f", "d", "c", "x") displaying a type letter, a
 * static text; null for a letter without one (K, O, Z ...). */
const char *ft_formattyp(char c);
/* A new "%<width>.<prec><conversion>" display format of col from its type, width and
 * prec, TDISP overriding them; null for a null column or no memory.  Free it. */
char *ft_format(FITSTCol col);

/* ---- Header streams, positioning and file names -------------------------------- */

/* Rebuild the header's interpreted descriptions from its cards, replacing the old ones. */
void ft_syncdata(FITSHead fits);
/* Store the header's present descriptions back into its cards. */
void ft_synchead(FITSHead fits);

/* Read one header block by block up to END; card1 holds its first n bytes (0..2880),
 * already consumed from file, or is null.  Past the 25th block, blocks made wholly of
 * HISTORY cards are dropped.  seek is the header's first byte (-1 on a pipe), data the
 * position after its last block, where file is left.  Null on a stream that ends
 * before END, a bad n, or when memory fails; nothing is kept then. */
FITSHead ft_headread0(File file, const char *card1, int n);
/* ft_headread0 with no bytes supplied. */
FITSHead ft_headread(File file);
/* Write ceil(ncard/36) blocks of cards (after storing the descriptions when sync is
 * set) and flush.  1, or 0 for a null argument or a failed write or flush. */
int ft_headwrite(File file, FITSHead fits);
/* Pass over the unit's databloks blocks from ifile's position: one seek when the header
 * came from a seekable stream and ofile is null, else reads, copied to ofile when given.
 * Nothing moves without data or a basic description.  The position reached (-1 on a
 * pipe), or -1 for a null argument. */
int64_t ft_dataskip(File ifile, FITSHead fits, File ofile);
/* Position file at the header's first byte: 1 when it then has a position, 0 when not
 * (a pipe, or no known seek), -1 for a null argument. */
int ft_headseek(File file, FITSHead fits);
/* ft_headseek for the first byte of the header's data. */
int ft_dataseek(File sfile, FITSHead fits);
/* Set the header's sync flag to x; the previous flag, or -1 for a null header. */
int ft_sync(FITSHead fits, int x);

/* Split an extended file name path[extname,extver,tail...] or path[number]...: the path
 * into name, the extension name into extn, the number (or EXTVER with a name) into *indx
 * (-1 when none), the remaining options into tail beginning with "[" ("" when none);
 * each output holds at most maxlen-1 characters.  1 when a word carried a "+", else 0. */
int ft_parsefilename(const char *filename, char *name, char *extn, int *indx, char *tail, int maxlen);
/* Make cfile the calling thread's copy stream, receiving every unit the openers pass
 * over in that thread (null: none).  The thread's previous copy stream; the library
 * never closes it. */
File ft_cfile(File cfile);
/* From the start of a FITS file on file, read up to the unit the selector of filename
 * names (or FITS_EXTNAME/FITS_EXTNUM choose when it names none and the primary has no
 * data).  *header (freed when header is null) gets the selected header, which holds the
 * primary.  file, at the unit's data; null, file closed and nothing kept, on failure. */
File ft_fitsheadread(File file, const char *filename, FITSHead *header, const char *mode);
/* Open the path of filename with fopen and mode (null "r"; a file that begins with the
 * gzip magic, opened to read, is read decompressed, as a stream that cannot seek) and select
 * its unit with ft_fitsheadread; tail (len bytes, 1..FT_NAME_BYTES) gets the file name's options.  A mode with
 * "C", or with "c" and a "+" in the file name, opens only: *header null.  Null on failure. */
File ft_fitsheadopen(const char *filename, FITSHead *header, char *tail, int len, const char *mode);
/* What ft_fileparse hands each header to: the stream, the header (now the callback's),
 * the address of the walk's result and the caller's data; nonzero stops the walk. */
typedef int (*FITSParseProc)(File file, FITSHead fits, void **result, void *cdata);
/* Read every header of ifile in turn and give it to callback, which moves the stream
 * past the unit's data; the result the callback left (null at first, or for null). */
void *ft_fileparse(File ifile, FITSParseProc callback, void *cdata);

/* ---- Images in memory, file mappings and shared memory ------------------------- */

/* Unmap the mmap_size bytes at mmap_here: munmap's result, -1 without a mapping. */
int ft_munmap(FITSHead head);
/* Detach the shared-memory segment at mmap_here: shmdt's result, -1 without one. */
int ft_shmdt(FITSHead head);

/* The size in bytes of the open file `file` (fstat), 0 when it cannot be taken. */
int64_t _filesize(int file);

/* Finds one unit in the memory region data[0..size) of consecutive units: by name
 * (extn not empty; EXTNAME exactly, EXTVER indx unless -1) or else by position
 * (indx units passed over).  A unit's header opens with SIMPLE or XTENSION and holds
 * printable ASCII through its END, but for commentary text (columns 9-80 of COMMENT,
 * HISTORY and blank-keyword cards, 10-80 of cards without "=" in column 9), which may
 * hold any byte as on a stream.  The region is never written.  On success (1) the
 * header views its cards in place and records the region (mem = type, 2 mapping or
 * 3 shared memory, which its release removes); *dataptr points at the unit's data
 * and *data2dptr is a new row view of NAXIS2 rows of NAXIS1 elements.  A unit whose
 * data runs past the region is not found.  With no headptr the header is released
 * at once but the region stays.  On failure (0) *headptr and *data2dptr are null
 * and the region is released according to type. */
int ft_indxmemdata(void *data, int64_t size, int type, const char *extn, int indx, FITSHead *headptr,
                   void **dataptr, void ***data2dptr);

/* Maps the file of an extended name whole (read-write when prot has PROT_WRITE)
 * and finds its selected unit with ft_indxmemdata; 1 or 0. */
int ft_simpleimagemmap(const char *filename, FITSHead *headptr, void **dataptr, void ***data2dptr,
                       int prot, int share);

/* Attaches the System V segment whose key is the name's path (decimal) and finds
 * the selected unit in its first `size` bytes (0: "size=" of the tail, else the
 * whole segment; never more than the segment); 1 or 0. */
int ft_simpleimageshm(const char *filename, FITSHead *headptr, void **dataptr, void ***data2dptr,
                      int64_t size, int flags);

/* Reads the selected unit of a file ("-", "stdin" or "STDIN": standard input,
 * which is closed afterwards; a gzip-compressed file decompressed) as pixtype values
 * (ft_dataread), a tile-compressed image as the image it holds; 1 or 0.  The array
 * and the view belong to the caller. */
int ft_simpleimageread(const char *filename, FITSHead *headptr, void **dataptr, void ***data2dptr,
                       int pixtype);

/* Reads the data of *headptr (or of the next header on the stream when none is
 * held) into *dataptr (allocated when null) and makes the row view; 1 or 0. */
int ft_imageread(File file, FITSHead *headptr, void **dataptr, void ***data2dptr, int pixtype);

/* Writes a primary copy of fits and the array as a new single-unit file at the
 * plain path filename; 1 when it was written and closed, else 0.  Data ft_datawrite
 * refuses make no file; a regular file whose writing fails is removed. */
int ft_simpleimagewrite(const char *filename, FITSHead fits, void *data, int pixtype);

/* Reloads fits's descriptions from its cards, then writes the header and the data
 * unit; 1, or 0 when either write fails.  Data ft_datawrite refuses are found before
 * the header is written: nothing is written then. */
int ft_imagewrite(File file, FITSHead fits, void *data, int pixtype);

/* ---- Tile-compressed images ------------------------------------------------------ */

/* A tile-compressed image is a binary table with ZIMAGE = T: each row holds one tile
 * of the image, compressed (COMPRESSED_DATA, a variable-length array in the heap) or
 * stored plain (UNCOMPRESSED_DATA), the image's own keywords beside the Z keywords
 * that describe it (ZBITPIX, ZNAXISn, ZTILEn, ZCMPTYPE, ZQUANTIZ, ZSCALE, ZZERO,
 * ZBLANK, ...).  Read: RICE_1, GZIP_1, GZIP_2 and NOCOMPRESS, integer and floating
 * point, floats quantized with NO_DITHER, SUBTRACTIVE_DITHER_1 or _2. */

/* How an image is compressed when written, and how a compressed one was.  type:
 * "RICE_1", "GZIP_1", "GZIP_2" or "NOCOMPRESS".  tile: ZTILE1 and ZTILE2 (0: the
 * row length, and one row).  Floats: quantize 0 stores them losslessly (GZIP_1 or
 * GZIP_2 of the float bytes), > 0 quantizes with steps of noise/quantize per tile
 * (fpack's default is 4), < 0 with steps of -quantize; dither 0 NO_DITHER, 1
 * SUBTRACTIVE_DITHER_1, 2 SUBTRACTIVE_DITHER_2, from the random sequence's seed
 * dither0 (1..10000).  Integer images ignore quantize and dither. */
typedef struct {
    char type[12];
    int tile[2];
    double quantize;
    int dither;
    int dither0;
} FITSCompress;

/* 1 when fits is a binary table holding a tile-compressed image (ZIMAGE = T), else 0. */
int ft_iscompimage(FITSHead fits);

/* The header of the image the tile-compressed table fits holds: an IMAGE extension
 * header (a primary one when primary is nonzero) with BITPIX, NAXISn and the image's
 * other keywords in the table's order, the table's own structure keywords and the
 * compression keywords left out; room blank cards free before END.  A new header
 * owned by the caller (ft_headfree(h, 1)), or null with why (len bytes, may be null)
 * saying what is wrong: a compression type or keyword not read, a size that
 * overflows.  how (may be null) gets how the image is compressed. */
FITSHead ft_compimagehead(FITSHead fits, int primary, int room, FITSCompress *how, char *why, int len);

/* Decompresses the image held by the tile-compressed table fits, whose data unit
 * (the table, then its heap) is the bytes bytes at data, into out: the image's data
 * in FITS order (big-endian, of the BITPIX ft_compimagehead gives, every element; no
 * fill), out holding outbytes.  Null pixels become ZBLANK (integers) or NaN (floats).
 * Reads nothing outside [data, data + bytes) whatever the table says.  1, or 0 with
 * why saying what is wrong (out may then be partly written). */
int ft_compimageread(FITSHead fits, const void *data, int64_t bytes, void *out, int64_t outbytes, char *why,
                     int len);

/* Compresses an image unit (header image, its pixels at data in FITS order, as
 * many as its NAXISn say) as how says into a tile-compressed binary table unit:
 * a new malloc'd buffer of whole blocks (header, table, heap, fill) in *unit and
 * its size in *bytes.  The image's keywords go into the table's header; CHECKSUM
 * and DATASUM, when the image has them, are those of the new unit.  1, or 0 with
 * why (nothing allocated is kept then). */
int ft_compimagemake(FITSHead image, const void *data, const FITSCompress *how, void **unit, int64_t *bytes,
                     char *why, int len);

/* ---- Checksums ------------------------------------------------------------------ */

/* sum plus the nbytes at data read as big-endian 32-bit words, added in 32-bit ones'
 * complement arithmetic (end-around carry); a last partial word counts as padded with
 * zero bytes.  Start from 0; the sums of consecutive pieces of 4-byte multiples chain.
 * Null data or nbytes <= 0 adds nothing. */
uint32_t ft_checksum(const void *data, int64_t nbytes, uint32_t sum);
/* The 16 characters of the CHECKSUM value encoding ~sum (the value that makes a unit
 * whose other bytes sum to `sum`, with CHECKSUM = '0000000000000000', sum to negative
 * zero), plus a terminator, in ascii (17 bytes).  Returns ascii (null for null). */
char *ft_checksumenc(uint32_t sum, char *ascii);
/* Recomputes the CHECKSUM and DATASUM cards found among the ncards cards of a
 * header's whole blocks (END among them, blanks after it) for a data unit, fill
 * included, whose ft_checksum is datasum: DATASUM gets datasum as unsigned decimal
 * text in quotes, CHECKSUM the encoding that makes header and data sum to negative
 * zero; comments kept; neither card added.  Returns 1 for CHECKSUM set plus 2 for
 * DATASUM set (0: neither present, or null cards). */
int ft_checksumset(FITSCard cards, int ncards, uint32_t datasum);
/* Checks a unit whose header is ncards cards of whole blocks and whose data unit,
 * fill included, is databytes at data: 1 when every one of CHECKSUM (the unit sums
 * to negative zero) and DATASUM (equals the data sum) present holds, 0 when one does
 * not, -1 when neither card is present (or null cards). */
int ft_checksumcheck(FITSCard cards, int ncards, const void *data, int64_t databytes);

#if defined(__GNUC__) && __GNUC__ >= 4
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* TOLV_FITS_H */
