#include "head_cards.h"
#include "fits.h"

#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// n cards, KEYn = n, with END at position end (none when end < 0), in a buffer of size cards.
std::vector<FITSBuff> cards_with_end(int size, int end)
{
    std::vector<FITSBuff> cards(std::size_t(size), card_of(""));
    for (int i = 0; i < size; i++)
        if (i < end || end < 0) cards[std::size_t(i)] = card_of("KEY" + std::to_string(i) + "  =   1");
    if (end >= 0) cards[std::size_t(end)] = card_of("END");
    return cards;
}

const std::vector<std::string> kImageExtension = {
    "XTENSION= 'IMAGE   '           / Image extension",
    "BITPIX  =                  -32",
    "NAXIS   =                    2",
    "NAXIS1  =                  100",
    "NAXIS2  =                   50",
    "PCOUNT  =                    0",
    "GCOUNT  =                    1",
    "EXTNAME = 'SCI     '",
    "EXTVER  =                    2",
};

// n cards of filler, the cards given, END, blank to whole blocks.
std::vector<FITSBuff> cards_with_end_at(int position)
{
    std::vector<std::string> texts = {"SIMPLE  =                    T", "BITPIX  =                    8",
                                      "NAXIS   =                    0"};
    while (int(texts.size()) < position - 1) texts.push_back("COMMENT filler");
    return block_cards(texts);
}

struct Counts {
    int ncard, acard;
    int64_t data;
    int mem;
    bool operator==(const Counts &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Counts &c)
{
    return os << "ncard " << c.ncard << " acard " << c.acard << " data " << c.data << " mem " << c.mem;
}
Counts counts(FITSHead f) { return {f->ncard, f->acard, f->data, f->mem}; }

bool all_blank_after(FITSHead fits, int from)
{
    for (int i = from; i < fits->acard; i++)
        if (text_of(fits->cards[i]) != blanks(80)) return false;
    return true;
}

// An anonymous mapping holding the cards, as a mapped file holds them.
struct Mapping {
    void *here = MAP_FAILED;
    std::size_t size = 0;
    explicit Mapping(const std::vector<FITSBuff> &cards) : size(cards.size() * 80)
    {
        here = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (here != MAP_FAILED) std::memcpy(here, cards.data(), size);
    }
    bool mapped() const { return msync(here, size, MS_ASYNC) == 0 || errno != ENOMEM; }
    void unmap()
    {
        if (here != MAP_FAILED && mapped()) munmap(here, size);
    }
};

// A header made of the mapping's cards, owning the mapping as the memory indexer makes it.
FITSHead head_over(Mapping &m)
{
    FITSHead fits = ft_headinit(m.here, int64_t(m.size));
    fits->mem = FT_MEM_MMAP;
    fits->mmap_here = static_cast<char *>(m.here);
    fits->mmap_size = int64_t(m.size);
    return fits;
}

} // namespace

TEST(headinit, new_empty_header)
{
    Head fits(ft_headinit(nullptr, 0));
    EXPECT_EQ(fits->acard, 36);
    EXPECT_EQ(fits->ncard, 1);
    EXPECT_EQ(fits->data, 2880);
    EXPECT_EQ(fits->mem, FT_MEM_OWNED);
    EXPECT_EQ(fits->rfcount, 1);
    EXPECT_EQ(fits->primary, nullptr);
    EXPECT_EQ(fits->basic, nullptr);
    EXPECT_EQ(fits->index, nullptr);
    EXPECT_EQ(fits->last, fits->cards);
    EXPECT_EQ(card_text(fits->cards), padded("END"));
    for (int i = 1; i < 36; i++) EXPECT_EQ(card_text(fits->cards + i), blanks(80));
    EXPECT_EQ(reinterpret_cast<const char *>(fits->cards)[2880], '\0');
    Head larger(ft_headinit(nullptr, 5760));
    EXPECT_EQ(larger->acard, 72);
    EXPECT_EQ(larger->data, 5760);
}

TEST(headinit, view_in_place_counts_whole_blocks_to_end)
{
    std::vector<FITSBuff> cards = cards_with_end(72, 39);
    Head fits(ft_headinit(cards.data(), 5760));
    EXPECT_EQ(fits->ncard, 40);
    EXPECT_EQ(fits->acard, 72);
    EXPECT_EQ(fits->data, 5760);
    EXPECT_EQ(fits->mem, FT_MEM_BUFFER);
    EXPECT_EQ(fits->cards, cards.data());
    std::vector<FITSBuff> one = cards_with_end(72, 35);
    Head first(ft_headinit(one.data(), 5760));
    EXPECT_EQ(first->ncard, 36);
    EXPECT_EQ(first->acard, 36);
    EXPECT_EQ(first->data, 2880);
}

TEST(headinit, view_never_counts_cards_past_the_buffer)
{
    // The buffer ends 10 cards into the block that holds END.
    std::vector<FITSBuff> cards = cards_with_end(46, 39);
    Head fits(ft_headinit(cards.data(), 46 * 80 + 79));
    EXPECT_EQ(fits->ncard, 40);
    EXPECT_EQ(fits->acard, 46);
    EXPECT_EQ(fits->data, 5760);
    for (int i = 0; i < 6; i++) EXPECT_EQ(ft_headappi(fits.get(), "NEW", i, i, nullptr) != nullptr, true);
    EXPECT_EQ(ft_headappi(fits.get(), "NEW", 9, 9, nullptr), nullptr);
    EXPECT_EQ(fits->ncard, 46);
}

TEST(headinit, view_without_end_leaves_the_buffer_alone)
{
    std::vector<FITSBuff> cards = cards_with_end(36, -1);
    const std::vector<FITSBuff> before = cards;
    Head fits(ft_headinit(cards.data(), 2880));
    EXPECT_EQ(fits->ncard, 1);
    EXPECT_EQ(card_text(fits->cards), padded("END"));
    EXPECT_EQ(fits->basic, nullptr);
    EXPECT_EQ(ft_headgeti(fits.get(), "KEY1", 0, -1, nullptr), -1);
    EXPECT_EQ(ft_headappi(fits.get(), "NEW", 0, 1, nullptr) != nullptr, true);
    EXPECT_EQ(fits->ncard, 2);
    EXPECT_EQ(std::memcmp(cards.data(), before.data(), cards.size() * 80), 0);
    // Less than one card: no END either.
    Head tiny(ft_headinit(cards.data(), 79));
    EXPECT_EQ(tiny->ncard, 1);
    EXPECT_EQ(card_text(tiny->cards), padded("END"));
}

TEST(headinit, adopted_buffer_is_owned_and_not_searched)
{
    auto *store = static_cast<char *>(std::malloc(2881));
    std::memset(store, ' ', 2880);
    store[2880] = '\0';
    Head fits(ft_headinit(store, -2880));
    EXPECT_EQ(fits->ncard, 36);
    EXPECT_EQ(fits->acard, 36);
    EXPECT_EQ(fits->mem, FT_MEM_OWNED);
    EXPECT_EQ(static_cast<void *>(fits->cards), static_cast<void *>(store));
}  // freeing the header frees the adopted store

TEST(headinit, free_counts_references_and_releases_the_primary)
{
    FITSHead primary = ft_headinit(nullptr, 0);
    FITSHead ext = ft_headinit(nullptr, 0);
    ext->primary = primary;  // a counted link, as the unit selector makes it
    primary->rfcount++;
    ext->rfcount = 2;
    ft_headindex(ext);
    ft_headfree(ext, 1);
    EXPECT_EQ(ext->rfcount, 1);
    EXPECT_EQ(primary->rfcount, 2);
    ft_headfree(ext, 1);  // releases ext and its reference to the primary
    EXPECT_EQ(primary->rfcount, 1);
    ft_headfree(primary, 1);
    ft_headfree(nullptr, 1);
}

TEST(headinit, free_without_freecards_leaves_owned_cards)
{
    FITSHead fits = ft_headinit(nullptr, 0);
    FITSCard cards = fits->cards;
    ft_headfree(fits, 0);
    EXPECT_EQ(card_text(cards), padded("END"));  // still the caller's to use
    std::free(cards);
}

TEST(headinit, free_removes_the_mapping_of_mapped_cards)
{
    void *map = mmap(nullptr, 2880, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    std::vector<FITSBuff> cards = block_cards({"SIMPLE  =                    T"});
    std::memcpy(map, cards.data(), 2880);
    FITSHead fits = ft_headinit(map, 2880);
    fits->mem = FT_MEM_MMAP;
    fits->mmap_here = static_cast<char *>(map);
    fits->mmap_size = 2880;
    EXPECT_EQ(ft_headgetl(fits, "SIMPLE", 0, 0, nullptr), 1);
    EXPECT_EQ(msync(map, 2880, MS_ASYNC), 0);
    ft_headfree(fits, 0);
    EXPECT_EQ(msync(map, 2880, MS_ASYNC), -1);  // no longer mapped
    EXPECT_EQ(errno, ENOMEM);
}

TEST(headinit, empty_header_capacity_in_whole_blocks)
{
    EXPECT_EQ(counts(Head(ft_headinit(nullptr, 5760)).get()), (Counts{1, 72, 5760, FT_MEM_OWNED}));
    EXPECT_EQ(counts(Head(ft_headinit(nullptr, 100)).get()), (Counts{1, 36, 2880, FT_MEM_OWNED}));
    EXPECT_EQ(counts(Head(ft_headinit(nullptr, 2961)).get()), (Counts{1, 72, 5760, FT_MEM_OWNED}));
    EXPECT_EQ(counts(Head(ft_headinit(nullptr, -5)).get()), (Counts{1, 36, 2880, FT_MEM_OWNED}));
    EXPECT_EQ(ft_headinit(nullptr, int64_t(1) << 62), nullptr);
}

TEST(headinit, buffer_viewed_in_place_up_to_end)
{
    std::vector<FITSBuff> cards = cards_with_end_at(40);
    ASSERT_EQ(cards.size(), 72u);
    Head fits = viewed_head(cards);
    EXPECT_EQ(counts(fits.get()), (Counts{40, 72, 5760, FT_MEM_BUFFER}));
    EXPECT_EQ(fits->cards, cards.data());
    ASSERT_NE(fits->basic, nullptr);
    EXPECT_EQ(fits->basic->simple, 1);
    EXPECT_NE(fits->image, nullptr);

    std::vector<FITSBuff> one = cards_with_end_at(36);
    EXPECT_EQ(counts(viewed_head(one).get()), (Counts{36, 36, 2880, FT_MEM_BUFFER}));
    // A longer buffer: the header still ends with the block holding END.
    std::vector<FITSBuff> more = block_cards({"SIMPLE  =                    T"});
    more.resize(108, card_of(""));
    EXPECT_EQ(counts(viewed_head(more).get()), (Counts{2, 36, 2880, FT_MEM_BUFFER}));
}

TEST(headinit, buffer_without_end_is_left_alone)
{
    std::vector<FITSBuff> cards = block_cards({"SIMPLE  =                    T"});
    cards[1] = card_of("NOEND");
    Mapping m(cards);
    ASSERT_NE(m.here, MAP_FAILED);
    ASSERT_EQ(mprotect(m.here, m.size, PROT_READ), 0);  // any write would fault
    Head fits(ft_headinit(m.here, int64_t(m.size)));
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(fits->ncard, 1);
    EXPECT_EQ(card_text(fits->cards), padded("END"));
    EXPECT_EQ(fits->basic, nullptr);
    EXPECT_EQ(fits->image, nullptr);
    EXPECT_NE(static_cast<void *>(fits->cards), m.here);
    // Editing the header cannot reach the buffer either.
    EXPECT_NE(ft_headseti(fits.get(), "NAXIS", 0, 2, nullptr, 0), nullptr);
    EXPECT_EQ(keywords(fits.get()), (std::vector<std::string>{"NAXIS", "END"}));
    EXPECT_EQ(std::memcmp(m.here, cards.data(), m.size), 0);
    fits.reset();
    m.unmap();
}

TEST(headinit, copy_is_independent_and_interpreted)
{
    std::vector<FITSBuff> cards = block_cards(kImageExtension);
    Head src = viewed_head(cards);
    src->seek = 4;
    src->sync = 1;
    ft_headindex(src.get());
    Head copy(ft_headcopy(src.get()));
    EXPECT_EQ(counts(copy.get()), (Counts{10, 36, 2880, FT_MEM_OWNED}));
    EXPECT_EQ(copy->seek, 4);
    EXPECT_EQ(copy->sync, 1);
    EXPECT_EQ(copy->rfcount, 1);
    EXPECT_EQ(copy->index, nullptr);
    EXPECT_EQ(copy->last, copy->cards);
    EXPECT_NE(copy->cards, cards.data());
    EXPECT_EQ(std::memcmp(copy->cards, cards.data(), 36 * 80), 0);
    EXPECT_EQ(copy->cards[36].c[0], '\0');
    ASSERT_NE(copy->basic, nullptr);
    EXPECT_NE(copy->basic, src->basic);
    EXPECT_EQ(std::string(copy->basic->name), "SCI");
    EXPECT_NE(copy->image, nullptr);
    // Growing the copy leaves the source's cards as they were.
    for (int i = 0; i < 30; i++) ft_headappi(copy.get(), "KEY", i + 1, i, nullptr);
    EXPECT_EQ(counts(copy.get()), (Counts{40, 72, 5760, FT_MEM_OWNED}));
    EXPECT_EQ(card_text(&cards[9]), padded("END"));
}

TEST(headinit, copy_of_null_is_an_empty_header)
{
    Head copy(ft_headcopy(nullptr));
    EXPECT_EQ(counts(copy.get()), (Counts{1, 36, 2880, FT_MEM_OWNED}));
}

TEST(headinit, copy_of_a_mapped_header_outlives_the_mapping)
{
    Mapping m(block_cards(kImageExtension));
    ASSERT_NE(m.here, MAP_FAILED);
    FITSHead mapped = head_over(m);
    FITSHead prim = ft_headinit(nullptr, 0);
    ft_primlink(prim, mapped);
    ft_headfree(prim, 1);  // the mapped header holds the only reference
    mapped->rfcount = 3;
    FITSHead copy = ft_headcopy(mapped);
    EXPECT_EQ(copy->mem, FT_MEM_OWNED);
    EXPECT_EQ(copy->mmap_here, nullptr);
    EXPECT_EQ(copy->mmap_size, 0);
    EXPECT_EQ(copy->rfcount, 1);
    EXPECT_EQ(copy->primary, mapped->primary);
    EXPECT_EQ(mapped->primary->rfcount, 2);

    ft_headfree(copy, 1);  // the mapping stays
    EXPECT_EQ(m.mapped(), true);
    EXPECT_EQ(mapped->primary->rfcount, 1);
    copy = ft_headcopy(mapped);
    ft_headfree(mapped, 1);
    ft_headfree(mapped, 1);
    EXPECT_EQ(m.mapped(), true);
    ft_headfree(mapped, 1);  // the last reference: unmapped
    EXPECT_EQ(m.mapped(), false);
    EXPECT_EQ(card_text(copy->cards + 7), padded("EXTNAME = 'SCI     '"));
    EXPECT_EQ(copy->basic->naxis[1], 50);
    EXPECT_EQ(copy->primary->rfcount, 1);
    ft_headfree(copy, 1);  // and with it the primary
}

TEST(headinit, shared_memory_detached_on_release)
{
    const int id = shmget(IPC_PRIVATE, 2880, IPC_CREAT | 0600);
    if (id < 0) GTEST_SKIP() << "no System V shared memory";
    void *here = shmat(id, nullptr, 0);
    ASSERT_NE(here, reinterpret_cast<void *>(-1));
    shmctl(id, IPC_RMID, nullptr);  // removed once detached
    std::vector<FITSBuff> cards = block_cards(kImageExtension);
    std::memcpy(here, cards.data(), 2880);
    FITSHead fits = ft_headinit(here, 2880);
    fits->mem = FT_MEM_SHM;
    fits->mmap_here = static_cast<char *>(here);
    fits->mmap_size = 2880;
    struct shmid_ds ds {};
    ASSERT_EQ(shmctl(id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_nattch, 1u);
    ft_headfree(fits, 1);
    EXPECT_EQ(shmctl(id, IPC_STAT, &ds) != 0 || ds.shm_nattch == 0, true);
}

TEST(headinit, release_of_regions_without_one)
{
    Head fits(ft_headinit(nullptr, 0));
    EXPECT_EQ(ft_munmap(fits.get()), -1);
    EXPECT_EQ(ft_shmdt(fits.get()), -1);
    EXPECT_EQ(ft_munmap(nullptr), -1);
    EXPECT_EQ(ft_shmdt(nullptr), -1);
}

TEST(headinit, reference_counts_through_link_and_free)
{
    FITSHead prim = ft_headinit(nullptr, 0);
    FITSHead ext1 = ft_headinit(nullptr, 0);
    FITSHead ext2 = ft_headinit(nullptr, 0);
    ft_primlink(prim, ext1);
    ft_primlink(prim, ext2);
    EXPECT_EQ(prim->rfcount, 3);
    EXPECT_EQ(ext1->primary, prim);
    ft_headfree(prim, 1);  // the caller's own reference
    EXPECT_EQ(prim->rfcount, 2);
    ft_primlink(prim, ext1);  // linked again: still one reference for ext1
    EXPECT_EQ(prim->rfcount, 2);
    ft_headfree(ext1, 1);
    EXPECT_EQ(prim->rfcount, 1);
    ft_headfree(ext2, 1);  // releases the primary too; leak detection checks the rest
}

TEST(headinit, relinking_releases_the_old_primary)
{
    FITSHead first = ft_headinit(nullptr, 0);
    Head second(ft_headinit(nullptr, 0));
    Head ext(ft_headinit(nullptr, 0));
    ft_primlink(first, ext.get());
    ft_headfree(first, 1);  // ext holds the only reference now
    ft_primlink(second.get(), ext.get());
    EXPECT_EQ(ext->primary, second.get());
    EXPECT_EQ(second->rfcount, 2);
    ft_primlink(ext.get(), ext.get());  // a header is not its own primary
    EXPECT_EQ(ext->rfcount, 1);
    ft_primlink(nullptr, ext.get());
    EXPECT_EQ(ext->primary, second.get());
}

TEST(headinit, long_chain_of_primaries)
{
    // Records over one shared card, deep enough that releasing them by recursion
    // would overflow the stack.
    static FITSBuff end = card_of("END");
    const auto record = [] {
        FITSHead fits = ft_headinit(&end, -80);
        fits->mem = FT_MEM_BUFFER;
        return fits;
    };
    FITSHead top = record();
    for (int i = 0; i < 300000; i++) {
        FITSHead next = record();
        ft_primlink(top, next);
        ft_headfree(top, 1);
        top = next;
    }
    ft_headfree(top, 1);
}

TEST(headinit, setcards_changes_only_the_pointer)
{
    Head fits(ft_headinit(nullptr, 0));
    FITSCard own = fits->cards;
    std::vector<FITSBuff> other = block_cards({});
    ft_setcards(fits.get(), other.data());
    EXPECT_EQ(fits->cards, other.data());
    EXPECT_EQ(counts(fits.get()), (Counts{1, 36, 2880, FT_MEM_OWNED}));
    ft_setcards(fits.get(), own);
    ft_setcards(nullptr, own);
}

TEST(headinit, primary_from_an_image_extension)
{
    std::vector<FITSBuff> cards = block_cards(kImageExtension);
    Head ext = viewed_head(cards);
    Head prim(ft_primary(ext.get()));
    EXPECT_EQ(keywords(prim.get()),
              (std::vector<std::string>{"SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "EXTNAME", "END"}));
    EXPECT_EQ(card_text(prim->cards), padded("SIMPLE  =                    T / Image extension"));
    EXPECT_EQ(all_blank_after(prim.get(), 7), true);
    EXPECT_EQ(prim->basic->simple, 1);
    EXPECT_EQ(std::string(prim->basic->name), "primary");
    EXPECT_EQ(prim->basic->databytes, 20000);
    EXPECT_EQ(card_text(&cards[0]), padded(kImageExtension[0]));  // the source is untouched
}

TEST(headinit, primary_deletes_one_card_of_each_keyword)
{
    Head ext = owned_head({"XTENSION= 'BINTABLE'", "EXTEND  =                    T", "EXTEND  =                    F",
                           "NEXTEND =                    4", "INHERIT =                    T", "OBJECT  = 'x'"});
    Head prim(ft_primary(ext.get()));
    EXPECT_EQ(keywords(prim.get()), (std::vector<std::string>{"SIMPLE", "EXTEND", "OBJECT", "END"}));
    EXPECT_EQ(card_text(prim->cards + 1), padded("EXTEND  =                    F"));
}

TEST(headinit, primary_of_an_empty_header_keeps_end_last)
{
    Head prim(ft_primary(nullptr));
    EXPECT_EQ(keywords(prim.get()), (std::vector<std::string>{"SIMPLE", "END"}));
    EXPECT_EQ(card_text(prim->cards), padded("SIMPLE  =                    T"));
}

TEST(headinit, merge_accumulates_and_copies_on_request)
{
    Head ext = owned_head({"XTENSION= 'IMAGE   '", "HISTORY extension made", "OBSERVER= 'ext     '"});
    Head prim = owned_head({"SIMPLE  =                    T", "OBSERVER= 'prim    '", "HISTORY taken", "HISTORY reduced",
                            "EXTEND  =                    T"});
    const std::vector<std::string> merged = {"XTENSION", "HISTORY", "OBSERVER", "HISTORY", "HISTORY", "EXTEND", "END"};
    for (const int copy : {0, 1}) {
        SCOPED_TRACE(copy);
        Head result(ft_headmerge(ext.get(), prim.get(), copy));
        EXPECT_EQ(keywords(result.get()), merged);
        EXPECT_EQ(card_text(result->cards + 2), padded(copy ? "OBSERVER= 'prim    '" : "OBSERVER= 'ext     '"));
        EXPECT_EQ(card_text(result->cards + 3), padded("HISTORY taken"));
        EXPECT_EQ(card_text(result->cards + 4), padded("HISTORY reduced"));
        EXPECT_NE(result->image, nullptr);
    }
    EXPECT_EQ(ext->ncard, 4);  // the sources stay as they were
    EXPECT_EQ(prim->ncard, 6);
}

TEST(headinit, merge_places_new_keywords_with_their_family)
{
    Head into = owned_head({"SIMPLE  =                    T", "NAXIS   =                    3", "NAXIS1  =   10",
                            "NAXIS2  =   10", "OBJECT  = 'x'"});
    Head from = owned_head({"NAXIS3  =                    4", "CONTINUE  'more'", "CONTINUE  'again'", "        blank"});
    Head result(ft_headmerge(into.get(), from.get(), 0));
    EXPECT_EQ(keywords(result.get()), (std::vector<std::string>{"SIMPLE", "NAXIS", "NAXIS1", "NAXIS2", "NAXIS3",
                                                                "OBJECT", "CONTINUE", "CONTINUE", "", "END"}));
    EXPECT_EQ(result->basic->naxis[2], 4);
}

TEST(headinit, merge_with_missing_headers)
{
    Head only = owned_head({"SIMPLE  =                    T", "OBJECT  = 'x'"});
    Head copy(ft_headmerge(only.get(), nullptr, 1));
    EXPECT_EQ(keywords(copy.get()), (std::vector<std::string>{"SIMPLE", "OBJECT", "END"}));
    EXPECT_NE(copy->basic, nullptr);
    Head from_empty(ft_headmerge(nullptr, only.get(), 1));
    EXPECT_EQ(keywords(from_empty.get()), (std::vector<std::string>{"OBJECT", "END"}));
}

TEST(headinit, null_headers_are_ignored)
{
    ft_headfree(nullptr, 1);
    ft_primlink(nullptr, nullptr);
    Head fits(ft_headinit(nullptr, 0));
    ft_primlink(fits.get(), nullptr);
    EXPECT_EQ(fits->rfcount, 1);
}
