// The record's cards and where they go.  A header is whole 2880-byte blocks of
// 80-column cards; the slots after END are blank, and so are the cards a writer
// left just before END to reserve room.  The record takes those slots, so the
// header keeps its length and the data after it stays where it is.
#include "record.h"

#include "card_text.h"

#include "fits.h"
#include "mosaic.h"
#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

namespace {

constexpr int64_t CARD = FT_CARD_BYTES;
constexpr int64_t BLOCK = FT_BLOCK_BYTES;
constexpr int64_t CARDS_PER_BLOCK = FT_BLOCK_CARDS;
constexpr size_t KEY = 8;

std::string_view card_at(HeaderBlocks h, int64_t i)
{
    return {reinterpret_cast<const char *>(h.bytes) + i * CARD, size_t(CARD)};
}

int64_t card_count(HeaderBlocks h) { return h.length / CARD; }

bool is_blank(std::string_view card) { return card.find_first_not_of(' ') == std::string_view::npos; }

// The index of the END card, or -1 when the blocks hold none.
int64_t end_card(HeaderBlocks h)
{
    for (int64_t i = 0; i < card_count(h); i++)
        if (card_at(h, i).substr(0, KEY) == "END     ") return i;
    return -1;
}

bool two_digits(std::string_view s) { return s.size() == 2 && std::isdigit((unsigned char)s[0]) && std::isdigit((unsigned char)s[1]); }

} // namespace

bool is_record_keyword(std::string_view key)
{
    static constexpr std::string_view fixed[] = {"FRGCORR ", "FRGCONST", "FRGGRADX", "FRGGRADY",
                                                 "FRGSIGMA", "FRGNPIX ", "FRGITER ", "FRGCLIP ", "FRGMODE "};
    for (std::string_view k : fixed)
        if (key == k) return true;
    return (key.substr(0, 6) == "FRGFIL" || key.substr(0, 6) == "FRGAMP") && two_digits(key.substr(6, 2));
}


std::string record_file_name(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> record_card_texts(const FitRecord &r)
{
    const int nfringe = int(r.fringe_files.size());
    const std::vector<double> &a = r.last.a; // [1..npar]: Aconst, Ax, Ay, Afringe...
    std::vector<std::string> cards;
    cards.push_back(card_text("FRGCORR", quoted_value(r.time), std::string("fringes removed by tolv ") + tolv_version()));
    for (int k = 1; k <= nfringe; k++)
        cards.push_back(card_text(numbered_key("FRGFIL", k), quoted_value(r.fringe_files[size_t(k - 1)]),
                             "fringe frame " + numbered_key("", k)));
    for (int k = 1; k <= nfringe; k++)
        cards.push_back(card_text(numbered_key("FRGAMP", k), real_value(a[size_t(3 + k)]),
                             "amplitude of fringe frame " + numbered_key("", k) + " subtracted"));
    cards.push_back(card_text("FRGCONST", real_value(a[1]), "constant subtracted"));
    cards.push_back(card_text("FRGGRADX", real_value(a[2]), "gradient in x subtracted, per pixel"));
    cards.push_back(card_text("FRGGRADY", real_value(a[3]), "gradient in y subtracted, per pixel"));
    cards.push_back(card_text("FRGSIGMA", real_value(double(r.last.sigma)), "rms residual of the last fit"));
    cards.push_back(card_text("FRGNPIX", integer_value(r.last.npix), "pixels used by the last fit"));
    cards.push_back(card_text("FRGITER", integer_value(r.settings.iterations), "clipped fits"));
    cards.push_back(card_text("FRGCLIP", real_value(r.settings.clip), "pixels beyond this many sigma left out"));
    if (r.exposure_extensions > 0)
        cards.push_back(card_text("FRGMODE", quoted_value("EXPOSURE"),
                             "amplitudes fitted over " + std::to_string(r.exposure_extensions) + " extension" +
                                 (r.exposure_extensions == 1 ? "" : "s")));
    else
        cards.push_back(card_text("FRGMODE", quoted_value("EXTENSION"), "amplitudes fitted to this extension alone"));
    return cards;
}

namespace {

// The cards before END that a new record leaves: all but an older record, less
// the blank cards that end them.
std::vector<std::string_view> kept_cards(HeaderBlocks h, int64_t end)
{
    std::vector<std::string_view> kept;
    for (int64_t i = 0; i < end; i++)
        if (!is_record_keyword(card_at(h, i).substr(0, KEY))) kept.push_back(card_at(h, i));
    while (!kept.empty() && is_blank(kept.back())) kept.pop_back();
    return kept;
}

} // namespace

std::string record_time()
{
    // SOURCE_DATE_EPOCH, the reproducible-builds convention, fixes the time, so
    // that two runs on the same data give the same bytes.
    std::time_t now = std::time(nullptr);
    if (const char *fixed = std::getenv("SOURCE_DATE_EPOCH")) {
        char *end = nullptr;
        errno = 0;
        const long long seconds = std::strtoll(fixed, &end, 10);
        if (errno == 0 && end != fixed && *end == '\0' && seconds >= 0 && seconds <= 253402300799LL)
            now = std::time_t(seconds);
    }
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    return text;
}

int record_cards(int nfringe) { return 9 + 2 * nfringe; }

std::string corrected_at(FITSHead h)
{
    FITSCard found = nullptr;
    char *value = ft_headgets(h, "FRGCORR", 0, "", &found);
    std::string time = found && value ? value : "";
    std::free(value);
    if (found && time.empty()) time = "an unknown time";
    return time;
}

HeaderBlocks header_blocks(Mosaic m, int e)
{
    const auto *cards = reinterpret_cast<const unsigned char *>(m->head[e]->cards);
    return {cards, static_cast<const unsigned char *>(m->data[e]) - cards};
}

std::string header_with_record(HeaderBlocks h, const FitRecord &r)
{
    const int64_t end = end_card(h);
    if (end < 0) return {};
    const std::vector<std::string_view> kept = kept_cards(h, end);
    const std::vector<std::string> record = record_card_texts(r);
    if (int64_t(kept.size() + record.size()) + 1 > card_count(h)) return {};
    std::string out;
    out.reserve(size_t(h.length));
    for (std::string_view c : kept) out += c;
    for (const std::string &c : record) out += c;
    out += end_card_text();
    out.resize(size_t(h.length), ' ');
    return out;
}

int record_blocks_missing(HeaderBlocks h, int nfringe)
{
    const int64_t end = end_card(h);
    if (end < 0) return 0;
    const int64_t need = int64_t(kept_cards(h, end).size()) + record_cards(nfringe) + 1;
    const int64_t have = card_count(h);
    return need <= have ? 0 : int((need - have + CARDS_PER_BLOCK - 1) / CARDS_PER_BLOCK);
}

std::string grown_header(HeaderBlocks h, int blocks)
{
    const int64_t end = end_card(h);
    std::string out(reinterpret_cast<const char *>(h.bytes), size_t(end < 0 ? 0 : end * CARD));
    out.resize(size_t(h.length + blocks * BLOCK - CARD), ' ');
    return out + end_card_text();
}

bool has_checksums(HeaderBlocks h)
{
    const int64_t end = end_card(h);
    for (int64_t i = 0; i < end; i++) {
        const std::string_view key = card_at(h, i).substr(0, KEY);
        if (key == "CHECKSUM" || key == "DATASUM ") return true;
    }
    return false;
}

void update_checksums(unsigned char *header, int64_t header_bytes, const unsigned char *data, int64_t data_bytes)
{
    if (!has_checksums({header, header_bytes})) return;
    ft_checksumset(reinterpret_cast<FITSCard>(header), int(header_bytes / CARD), ft_checksum(data, data_bytes, 0));
}
