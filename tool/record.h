// The record of a correction in the corrected extension's header: when it was
// made, from which fringe frames, what was subtracted and with which settings
// (FRGCORR, FRGFILnn, FRGAMPnn, FRGCONST, FRGGRADX, FRGGRADY, FRGSIGMA, FRGNPIX,
// FRGITER, FRGCLIP, FRGMODE), written into the blank card slots of the header's blocks so
// that no byte of the file moves; and the unit's checksums kept valid.
#ifndef TOLV_RECORD_H
#define TOLV_RECORD_H

#include "fringefit.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Fringe frames a record can name: the keyword holds two digits.
constexpr int RECORD_MAX_FRINGES = 99;

// What one extension's record says.
struct FitRecord {
    std::string time;                     // UTC, ISO 8601 (FITS DATE form)
    std::vector<std::string> fringe_files; // as FRGFILnn names them: record_file_name()
    FitSettings settings;
    FitRow last; // the last fit's row: what was subtracted
    // The extensions whose fit shared the amplitudes (FRGMODE 'EXPOSURE'); 0:
    // the extension was fitted on its own ('EXTENSION').
    int exposure_extensions = 0;
};

// A fringe frame's name as FRGFILnn holds it: the file part of the name as
// given (MosaicName::path: its unit selector dropped), without its directory.
std::string record_file_name(const std::string &path);

// The current UTC time as FRGCORR holds it, "YYYY-MM-DDThh:mm:ss"; the time
// SOURCE_DATE_EPOCH gives (seconds since 1970), when set.
std::string record_time();

// Cards in the record of nfringe frames.
int record_cards(int nfringe);

// Whether a card's keyword (its first 8 columns, blank-padded) is one of a
// record's, older ones included (FRGFILnn, FRGAMPnn of any nn).
bool is_record_keyword(std::string_view key);

// The record's cards, 80 characters each, in the order a header holds them.
std::vector<std::string> record_card_texts(const FitRecord &r);

// The time in the header's FRGCORR card, or empty when it has none.
std::string corrected_at(FITSHead h);

// A header's whole blocks as they lie in a file or a buffer: `bytes` a multiple
// of 2880, END in them.
struct HeaderBlocks {
    const unsigned char *bytes;
    int64_t length;
};

// The header of unit e of a mosaic, in its mapping.
HeaderBlocks header_blocks(Mosaic m, int e);

// The header's bytes with the record in place of an older one, in its blank card
// slots (the blank cards just before END and those after it), the same length as
// the header; empty when the record does not fit.
std::string header_with_record(HeaderBlocks h, const FitRecord &r);

// Whole blocks to add to the header so that a record of nfringe frames fits in it.
int record_blocks_missing(HeaderBlocks h, int nfringe);

// The header made `blocks` blocks longer: its cards, then blank cards, END last.
std::string grown_header(HeaderBlocks h, int blocks);

// True when the header carries CHECKSUM or DATASUM.
bool has_checksums(HeaderBlocks h);

// Recomputes CHECKSUM and DATASUM, where the header carries them, for a header
// in memory (header_bytes, whole blocks) and its data unit (data_bytes, fill
// included).
void update_checksums(unsigned char *header, int64_t header_bytes, const unsigned char *data, int64_t data_bytes);

#endif
