#include "recovery.h"

#include "plan.h"

#include <algorithm>

namespace {

// The rows of the extensions the journal records as corrected, under the
// table's head (as many fringe columns as the rows have); those extensions.
std::vector<int> recovered_rows(const Journal &journal, TableFile &table, RunReport *report)
{
    std::vector<int> done;
    for (const auto &[e, d] : journal.done()) {
        if (done.empty()) {
            // A row is Extn, Iter, Sigma, Npix, Aconst, Ax, Ay, then one column a frame.
            const std::string first = d.rows.substr(0, d.rows.find('\n'));
            table.head(int(std::count(first.begin(), first.end(), '\t')) - 6);
        }
        done.push_back(e);
        table.rows(d.rows);
        if (report) {
            const std::vector<FitRow> rows = parse_fit_rows(d.rows);
            report->rows.insert(report->rows.end(), rows.begin(), rows.end());
        }
    }
    table.flush();
    return done;
}

} // namespace

int apply_journal(bool drop, const InputFiles &inputs, Journal &journal, const Messages &messages, TableFile &table,
                  RunReport *report)
{
    std::string error;
    int status = 0;
    MosaicFile *f = inputs.open_science(true, &status);
    if (!f) return status;
    if (drop) {
        std::string what;
        const bool dropped = journal.drop(f->fd, &what, &error);
        mosaic_file_close(f);
        if (!dropped) return messages.refuse_science(error);
        messages.note(what);
        return 0;
    }
    const bool recovered = journal.recover(f->fd, &error);
    mosaic_file_close(f);
    if (!recovered) return messages.refuse_science(error);
    if (!journal.found()) {
        journal.clear_mark();
        messages.note("no interrupted run to recover: nothing was done");
        return 0;
    }
    const std::vector<int> done = recovered_rows(journal, table, report);
    const int restored = journal.restored();
    if (!journal.finish(&error)) return messages.refuse_science(error);
    messages.note((restored ? "extension " + std::to_string(restored) + " is put back as it was"
                            : std::string("no extension was being written")) +
                  ", " +
                  (done.empty() ? std::string("no extension was corrected")
                                : extensions_are(done) + " corrected and kept") +
                  "; the journal is removed");
    return 0;
}
