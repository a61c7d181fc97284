// What a spectral data file holds, checked against its size before anything
// is read in bulk: the file header and directory, and either the one
// spectrum of a single-spectrum file or the geometry of a series' data blob.
// Python-free; every count it reports is backed by bytes of the file.
#pragma once
#include "karvo_native/byte_source.hpp"
#include "records/flat_layout.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace karvo::bulk {

// Interrupted: a signal handler raised during a read; Raised: a fetch raised.
// Both leave their Python error set.
enum class Problem { None, System, Format, Truncated, NoMemory, Interrupted, Raised };

struct Failure {
    Problem problem = Problem::None;
    int error = 0;        // System: errno
    std::string reason;   // Format, Truncated: what is wrong, without the path
};

// The failure of a read that returned `got` < 0: errno, Interrupted, or Raised.
Failure read_failure(long long got);

// The flat layouts of every record that the bulk reader decodes.
struct Layouts {
    format::FlatLayout file_header, entry, entry_extended, main_header, bench, series_header,
        disk_array, dimension, mini, mini_v3;
};
const Layouts& layouts();

// Reads an unsigned or signed integer field of any width, or a flag.
uint64_t field_uint(const format::FlatLayout& layout, const uint8_t* record, const char* name,
                    const char* parent = nullptr);
double field_real(const format::FlatLayout& layout, const uint8_t* record, const char* name);

struct Section {
    uint16_t type;
    uint64_t offset;
    uint64_t length;
};

constexpr uint16_t kSingleSpectrum = 1;
constexpr uint16_t kSeries = 11;
constexpr uint16_t kMainHeaderSection = 2;
constexpr uint16_t kValuesSection = 3;
constexpr uint16_t kDiskArraySection = 300;
constexpr uint16_t kSeriesHeaderSection = 325;
constexpr uint32_t kSingleValueBytes = 4;  // a single spectrum's values are float32

struct Structure {
    uint64_t size = 0;                 // of the file when it was opened
    std::vector<uint8_t> head;         // the file's first bytes, read at once; reads within it are served from it
    std::vector<uint8_t> file_header;  // fixed part, raw
    std::vector<Section> sections;
    uint16_t file_type = 0;

    std::vector<uint8_t> main_header;  // raw; empty when the series data has none
    uint32_t num_points = 0;

    // single spectrum
    uint64_t values_offset = 0;

    // series
    std::vector<uint8_t> series_header, disk_array, bench;  // raw; bench may be empty
    std::vector<uint8_t> dimensions;   // the records of the dimensions along the series (one
                                       // element per promised spectrum), raw, back to back
    uint32_t element_size = 0;
    uint32_t mini_size = 0;         // 0 (none), or the size of the mini header class
    bool mini_v3 = false;
    uint64_t data_start = 0;        // first byte of spectrum 0
    uint64_t values_size = 0;       // bytes of one spectrum's values
    uint64_t stride = 0;            // bytes from one spectrum to the next
    uint64_t expected = 0;          // spectra the series header promises
    uint64_t held = 0;              // complete spectra the file holds (<= expected)
    uint64_t partial_bytes = 0;     // bytes of the first missing spectrum that are there
};

// Checks the structure of the file that `src` reads, of `size` bytes; fills
// `out` or returns the failure. Never allocates more than the file has shown
// it holds.
Failure inspect(ByteSource& src, uint64_t size, Structure& out);

// n bytes at `at` into dst, from the head when it holds them; a short read
// is a file that became shorter since it was opened.
Failure read_at(ByteSource& src, const Structure& s, void* dst, size_t n, uint64_t at);

// The failure of a read that should have reached `end` but met the end of the file.
Failure became_shorter(const Structure& s, uint64_t end);

// A short description of content that isn't a spectral data file (text,
// program binary), for error messages; empty when nothing is recognised.
std::string describe_foreign(const uint8_t* head, size_t len);

}  // namespace karvo::bulk
