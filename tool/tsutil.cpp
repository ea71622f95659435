// Index-offset arrays: a plain heap block addressed through a reference displaced
// by the lower bound, so that v[nl] is the first element of the block.
#include "tsutil.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

void write_numeric_error(std::FILE *to, const char *text)
{
    std::fprintf(to, "Tessaly run-time error...\n%s\n...now exiting to system...\n", text);
}

void tserror(const char *text)
{
    write_numeric_error(stderr, text);
    std::exit(1);
}

namespace {

// A block for the elements lo..hi, or null when the heap refuses it or its size
// does not fit in memory.  An empty range still gets a (never indexed) block.
template <typename T>
T *block(int lo, int hi)
{
    const int64_t n = int64_t(hi) - int64_t(lo) + 1;
    const int64_t count = n > 0 ? n : 1;
    if (uint64_t(count) > SIZE_MAX / sizeof(T)) return nullptr;
    return static_cast<T *>(std::malloc(size_t(count) * sizeof(T)));
}

template <typename T>
T *offset_vector(int nl, int nh, const char *failure)
{
    T *v = block<T>(nl, nh);
    if (!v) tserror(failure);
    return v - nl;
}

template <typename T>
T **offset_matrix(int nrl, int nrh, int ncl, int nch, const char *table_failure,
                  const char *row_failure)
{
    T **m = block<T *>(nrl, nrh);
    if (!m) tserror(table_failure);
    m -= nrl;
    for (int i = nrl; i <= nrh; i++) {
        T *row = block<T>(ncl, nch);
        if (!row) tserror(row_failure);
        m[i] = row - ncl;
    }
    return m;
}

template <typename T>
void release_matrix(T **m, int nrl, int nrh, int ncl)
{
    for (int i = nrh; i >= nrl; i--) std::free(m[i] + ncl);
    std::free(m + nrl);
}

} // namespace

double *vector(int nl, int nh) { return offset_vector<double>(nl, nh, "allocation failure in vector()"); }
double *dvector(int nl, int nh) { return offset_vector<double>(nl, nh, "allocation failure in dvector()"); }
int *ivector(int nl, int nh) { return offset_vector<int>(nl, nh, "allocation failure in ivector()"); }

double **matrix(int nrl, int nrh, int ncl, int nch)
{
    return offset_matrix<double>(nrl, nrh, ncl, nch, "allocation failure 1 in matrix()",
                                 "allocation failure 2 in matrix()");
}

double **dmatrix(int nrl, int nrh, int ncl, int nch)
{
    return offset_matrix<double>(nrl, nrh, ncl, nch, "allocation failure 1 in dmatrix()",
                                 "allocation failure 2 in dmatrix()");
}

int **imatrix(int nrl, int nrh, int ncl, int nch)
{
    return offset_matrix<int>(nrl, nrh, ncl, nch, "allocation failure 1 in imatrix()",
                              "allocation failure 2 in imatrix()");
}

double **submatrix(double **a, int oldrl, int oldrh, int oldcl, int /*oldch*/, int newrl, int newcl)
{
    double **m = block<double *>(oldrl, oldrh);
    if (!m) tserror("allocation failure in submatrix()");
    m -= newrl;
    for (int k = 0; k <= oldrh - oldrl; k++) m[newrl + k] = a[oldrl + k] + oldcl - newcl;
    return m;
}

double **convert_matrix(double *a, int nrl, int nrh, int ncl, int nch)
{
    double **m = block<double *>(nrl, nrh);
    if (!m) tserror("allocation failure in convert_matrix()");
    m -= nrl;
    const int64_t ncol = int64_t(nch) - ncl + 1;
    for (int i = 0; i <= nrh - nrl; i++) m[nrl + i] = a + i * ncol - ncl;
    return m;
}

void free_vector(double *v, int nl, int) { std::free(v + nl); }
void free_dvector(double *v, int nl, int) { std::free(v + nl); }
void free_ivector(int *v, int nl, int) { std::free(v + nl); }
void free_matrix(double **m, int nrl, int nrh, int ncl, int) { release_matrix(m, nrl, nrh, ncl); }
void free_dmatrix(double **m, int nrl, int nrh, int ncl, int) { release_matrix(m, nrl, nrh, ncl); }
void free_imatrix(int **m, int nrl, int nrh, int ncl, int) { release_matrix(m, nrl, nrh, ncl); }
void free_submatrix(double **b, int nrl, int, int, int) { std::free(b + nrl); }
void free_convert_matrix(double **b, int nrl, int, int, int) { std::free(b + nrl); }
