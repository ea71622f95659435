// Where the table goes: standard output, or the file --table names.  The file is
// opened only once every check is passed and emptied only once no refusal can
// come, so that a refused run leaves it as it was.  It is written where it is
// rather than into a temporary put in place at the end: it may be a pipe, a
// device or a link to keep, and its rows are seen as they come.  The table goes
// on being made when its reader has gone: the run finishes first, and the first
// error is kept for the end.
#ifndef TOLV_TABLE_FILE_H
#define TOLV_TABLE_FILE_H

#include "fringefit.h"

#include <cstdio>
#include <string>
#include <vector>

// The table's rows `text` (as an interrupted run's journal keeps them) as numbers.
std::vector<FitRow> parse_fit_rows(const std::string &text);

class TableFile {
  public:
    // The table on `standard`, or in the file `path` when it is not empty.
    TableFile(std::FILE *standard, std::string path);
    ~TableFile();
    TableFile(const TableFile &) = delete;
    TableFile &operator=(const TableFile &) = delete;

    // Opens the file --table names, as it is; false, with *error the system's
    // reason, when it cannot be.  True at once for standard output.
    bool open(std::string *error);
    // Empties the table's file (a regular file) for the rows.
    void empty();
    // The table's two head lines, and rows of it.
    void head(int nfringe);
    void rows(const std::string &text);
    // Flushes what is written; false when the table could not be written whole
    // (now or before).
    bool flush();
    // The first error met writing the table (an errno), 0 when none.
    int error() const { return error_; }

  private:
    void failed(int error_number);

    std::FILE *standard_, *file_;
    std::string path_;
    int error_ = 0;
};

#endif
