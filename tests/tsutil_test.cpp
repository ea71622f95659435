#include "tsutil.h"

#include "fatal_exit.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

namespace {

// Limits the address space of this (dying) process to a little more than it uses,
// so that a large request is refused by the heap on every host.
void limit_address_space()
{
    long pages = 0;
    if (std::FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
        std::fclose(f);
    }
    const rlim_t limit = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (64u << 20);
    struct rlimit rl = {limit, limit};
    setrlimit(RLIMIT_AS, &rl);
}

} // namespace

TEST(tsutil, vector_spans_exactly_its_bounds)
{
    double *v = vector(1, 4);
    int *iv = ivector(-2, 2);
    for (int i = 1; i <= 4; i++) v[i] = i * 1.5;
    for (int i = -2; i <= 2; i++) iv[i] = i;
    EXPECT_EQ(v[4], 6.0);
    EXPECT_EQ(&v[4] - &v[1], 3);
    EXPECT_EQ(iv[-2] + iv[2], 0);
    free_vector(v, 1, 4);
    free_ivector(iv, -2, 2);
}

TEST(tsutil, matrix_rows_are_addressed_from_their_bounds)
{
    double **m = matrix(1, 3, 1, 4);
    for (int i = 1; i <= 3; i++)
        for (int j = 1; j <= 4; j++) m[i][j] = 10 * i + j;
    EXPECT_EQ(m[2][4], 24.0);
    EXPECT_EQ(&m[2][4] - &m[2][1], 3);
    EXPECT_EQ(m[3][1], 31.0);
    int **im = imatrix(0, 1, 5, 6);
    im[1][6] = 7;
    EXPECT_EQ(im[1][6], 7);
    free_imatrix(im, 0, 1, 5, 6);
    free_matrix(m, 1, 3, 1, 4);
}

TEST(tsutil, views_share_the_elements_they_view)
{
    double flat[6] = {0, 1, 2, 3, 4, 5};
    double **c = convert_matrix(flat, 1, 2, 1, 3);
    EXPECT_EQ(c[2][1], 3.0);
    EXPECT_EQ(c[1][3], 2.0);
    EXPECT_EQ(&c[2][3], &flat[5]);
    free_convert_matrix(c, 1, 2, 1, 3);

    double **m = dmatrix(1, 4, 1, 4);
    for (int i = 1; i <= 4; i++)
        for (int j = 1; j <= 4; j++) m[i][j] = 10 * i + j;
    double **s = submatrix(m, 2, 3, 2, 4, 1, 1);
    EXPECT_EQ(s[1][1], 22.0);
    EXPECT_EQ(s[2][3], 34.0);
    EXPECT_EQ(&s[2][1], &m[3][2]);
    free_submatrix(s, 1, 2, 1, 3);
    free_dmatrix(m, 1, 4, 1, 4);
}

TEST(tsutil, empty_request_is_not_refused)
{
    double *v = vector(1, 0);
    free_vector(v, 1, 0);
    SUCCEED();
}

TEST(tsutil, tserror_reports_three_lines_and_exits_1)
{
    EXPECT_FATAL(tserror("something broke"), "something broke");
}

TEST(tsutil, refused_allocations_report_their_constructor)
{
    EXPECT_FATAL((limit_address_space(), vector(1, INT_MAX)), "allocation failure in vector\\(\\)");
    EXPECT_FATAL((limit_address_space(), dvector(1, INT_MAX)), "allocation failure in dvector\\(\\)");
    EXPECT_FATAL((limit_address_space(), ivector(INT_MIN + 1, INT_MAX)),
                 "allocation failure in ivector\\(\\)");
    EXPECT_FATAL((limit_address_space(), matrix(1, 2, 1, INT_MAX)),
                 "allocation failure 2 in matrix\\(\\)");
    EXPECT_FATAL((limit_address_space(), matrix(INT_MIN + 1, INT_MAX, 1, 1)),
                 "allocation failure 1 in matrix\\(\\)");
    EXPECT_FATAL((limit_address_space(), imatrix(1, 1, INT_MIN + 1, INT_MAX)),
                 "allocation failure 2 in imatrix\\(\\)");
    EXPECT_FATAL((limit_address_space(), dmatrix(1, 1, 1, INT_MAX)),
                 "allocation failure 2 in dmatrix\\(\\)");
}
