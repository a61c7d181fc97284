#include "karvo_native/structure.hpp"

#include "records/le.hpp"
#include "records/text.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace karvo::bulk {
namespace {

using format::FlatField;
using format::FlatLayout;
using format::Kind;

// The first read takes the header, and the directory of most files, at once.
constexpr size_t kHeadRead = 16 * 1024;

std::string printf_string(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printf_string(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return std::string(buf, n < 0 ? 0 : std::min(size_t(n), sizeof buf - 1));
}

Failure format_error(std::string reason) { return {Problem::Format, 0, std::move(reason)}; }
Failure truncated(std::string reason) { return {Problem::Truncated, 0, std::move(reason)}; }

const FlatField& field(const FlatLayout& layout, const char* name, const char* parent = nullptr) {
    const FlatField* f = layout.find(name, parent);
    // The names below are the layout tables' own; a miss is a programming error.
    if (!f) std::abort();
    return *f;
}

std::string text_of(const FlatLayout& layout, const uint8_t* record, const char* name,
                    const char* parent = nullptr) {
    const FlatField& f = field(layout, name, parent);
    return format::decode_text(record + f.offset, f.width);
}

using U = unsigned long long;

// An unsigned or signed integer field of any width, or a flag.
uint64_t value_of(const FlatField& f, const uint8_t* record);

// Reads `n` bytes at `offset` into `out` once the file has shown that it
// holds them; `what` names the record for the message.
Failure read_record(ByteSource& src, const Structure& s, uint64_t offset, size_t n, const char* what,
                    std::vector<uint8_t>& out, bool cut_is_truncation = false) {
    if (offset > s.size || s.size - offset < n) {
        std::string reason = printf_string("the %s at offset %llu (%zu bytes) runs past the end of the file (%llu bytes)",
                                           what, U(offset), n, U(s.size));
        return cut_is_truncation ? truncated(reason) : format_error(reason);
    }
    out.resize(n);
    return read_at(src, s, out.data(), n, offset);
}

const Section* nth_section(const Structure& s, uint32_t type, uint64_t n, size_t* count = nullptr) {
    const Section* found = nullptr;
    size_t seen = 0;
    for (const Section& sec : s.sections)
        if (sec.type == type) {
            if (seen == n && !found) found = &sec;
            ++seen;
        }
    if (count) *count = seen;
    return found;
}

Failure inspect_single(ByteSource& src, Structure& s) {
    const Layouts& L = layouts();
    const Section* header = nth_section(s, kMainHeaderSection, 0);
    if (!header)
        return format_error(printf_string(
            "a single-spectrum file without a main spectral header (no section of type %u among %zu)",
            kMainHeaderSection, s.sections.size()));
    if (Failure f = read_record(src, s, header->offset, L.main_header.size, "main spectral header", s.main_header);
        f.problem != Problem::None)
        return f;
    s.num_points = uint32_t(field_uint(L.main_header, s.main_header.data(), "num_points"));
    const Section* values = nth_section(s, kValuesSection, 0);
    if (!values)
        return format_error(printf_string("no values section (section type %u) in a single-spectrum file",
                                          kValuesSection));
    s.values_offset = values->offset;
    uint64_t need = uint64_t(s.num_points) * kSingleValueBytes;
    if (values->offset > s.size || s.size - values->offset < need) {
        uint64_t held = values->offset > s.size ? 0 : (s.size - values->offset) / kSingleValueBytes;
        return truncated(printf_string(
            "the values section at offset %llu should hold %u values (%llu bytes), the file holds %llu of them",
            U(values->offset), s.num_points, U(need), U(held)));
    }
    return {};
}

// Keeps the records of the dimensions along the series (num_elements equal to
// the promised spectra): the only ones shown. The `count` records from `at`
// are read in pieces and the others passed over, so that memory follows what
// is kept, not what the count says. Records in a hole of a sparse file are
// zeros that the file system stores nowhere: they are passed over without a
// read, so that the work follows the bytes stored, not the count either. An
// all-zero record (no name, no elements) is an unused slot, never kept: a
// copy that stores its zeros as holes reads the same as the original.
Failure read_series_dimensions(ByteSource& src, Structure& s, uint64_t at, uint64_t count) {
    const FlatLayout& D = layouts().dimension;
    const uint64_t per_piece = std::max<uint64_t>(1, (uint64_t(1) << 20) / D.size);
    const FlatField& elements = field(D, "num_elements");
    const uint64_t end = at + count * D.size;
    std::vector<uint8_t> piece(size_t(std::min(count, per_piece) * D.size));
    for (uint64_t done = 0; done < count;) {
        const uint64_t from = at + done * D.size;
        const ByteRange stored = src.stored_from(from, end);
        // the records wholly before the stored bytes are zeros
        done += (stored.start - from) / D.size;
        if (done >= count) break;
        // up to the record that the next hole begins in, within a piece
        const uint64_t first = at + done * D.size;
        uint64_t n = std::min({per_piece, count - done,
                               std::max<uint64_t>(1, (stored.end - first + D.size - 1) / D.size)});
        if (Failure f = read_at(src, s, piece.data(), size_t(n * D.size), first); f.problem != Problem::None)
            return f;
        for (uint64_t j = 0; j < n; ++j) {
            const uint8_t* d = piece.data() + j * D.size;
            if (value_of(elements, d) == s.expected && std::any_of(d, d + D.size, [](uint8_t b) { return b; }))
                s.dimensions.insert(s.dimensions.end(), d, d + D.size);
        }
        done += n;
    }
    return {};
}

Failure inspect_series(ByteSource& src, Structure& s) {
    const Layouts& L = layouts();
    const Section* sh = nth_section(s, kSeriesHeaderSection, 0);
    if (!sh)
        return format_error(printf_string("a series file without a series header (no section of type %u)",
                                          kSeriesHeaderSection));
    if (Failure f = read_record(src, s, sh->offset, L.series_header.size, "series header", s.series_header);
        f.problem != Problem::None)
        return f;
    s.expected = field_uint(L.series_header, s.series_header.data(), "max_spectra");

    const Section* da = nth_section(s, kDiskArraySection, 0);
    if (!da)
        return format_error(printf_string(
            "a series file without a disk resident array (no section of type %u)", kDiskArraySection));
    if (Failure f = read_record(src, s, da->offset, L.disk_array.size, "disk resident array", s.disk_array);
        f.problem != Problem::None)
        return f;
    const uint8_t* dra = s.disk_array.data();

    uint64_t num_dims = field_uint(L.disk_array, dra, "num_dimensions");
    uint64_t dims_at = da->offset + L.disk_array.size;
    uint64_t dims_bytes = num_dims * L.dimension.size;
    if (dims_at > s.size || s.size - dims_at < dims_bytes)
        return format_error(printf_string(
            "the disk resident array at offset %llu lists %llu dimensions (%llu bytes from offset %llu), "
            "which run past the end of the file (%llu bytes)",
            U(da->offset), U(num_dims), U(dims_bytes), U(dims_at), U(s.size)));
    if (Failure f = read_series_dimensions(src, s, dims_at, num_dims); f.problem != Problem::None) return f;

    if (uint64_t link_type = field_uint(L.disk_array, dra, "link_type", "link"))
        return format_error(printf_string(
            "the spectra are linked external data (link type %llu, file name \"%s\"); only data held in the "
            "file itself are read",
            U(link_type), text_of(L.disk_array, dra, "filename", "link").c_str()));
    s.element_size = uint32_t(field_uint(L.disk_array, dra, "array_element_size"));
    if (s.element_size != 4 && s.element_size != 8)
        return format_error(printf_string(
            "element size %u (the disk resident array's array_element_size) is neither 4 nor 8", s.element_size));

    uint64_t data_type = field_uint(L.disk_array, dra, "section_type", "link");
    uint64_t data_number = field_uint(L.disk_array, dra, "section_number", "link");
    size_t of_type = 0;
    const Section* data = nth_section(s, uint32_t(data_type), data_number, &of_type);
    if (data_type > 0xFFFF) data = nullptr, of_type = 0;
    if (!data)
        return format_error(printf_string(
            "the data section is number %llu among the sections of type %llu, and the directory holds %zu of them",
            U(data_number), U(data_type), of_type));

    bool spectral = field_uint(L.disk_array, dra, "spectral_hdr", "data_blob_format");
    bool bench = field_uint(L.disk_array, dra, "bench_hdr", "data_blob_format");
    bool mini = field_uint(L.disk_array, dra, "mini_hdr", "data_blob_format");
    s.mini_v3 = field_uint(L.disk_array, dra, "mini_header_type", "link") != 0;
    uint64_t at = data->offset;
    if (spectral) {
        if (Failure f = read_record(src, s, at, L.main_header.size, "main spectral header of the series data",
                                    s.main_header, true);
            f.problem != Problem::None)
            return f;
        at += L.main_header.size;
    }
    if (bench) {
        if (Failure f = read_record(src, s, at, L.bench.size, "bench info of the series data", s.bench, true);
            f.problem != Problem::None)
            return f;
        at += L.bench.size;
    }
    if (!spectral)
        return format_error(
            "the series data carries no main spectral header, so the number of points per spectrum is unknown");
    s.num_points = uint32_t(field_uint(L.main_header, s.main_header.data(), "num_points"));
    s.data_start = at;
    s.mini_size = mini ? (s.mini_v3 ? L.mini_v3.size : L.mini.size) : 0;
    s.values_size = uint64_t(s.num_points) * s.element_size;
    if (s.values_size > s.size)
        return format_error(printf_string(
            "num_points %u of %u-byte values (%llu bytes a spectrum) is more than the whole file (%llu bytes)",
            s.num_points, s.element_size, U(s.values_size), U(s.size)));
    s.stride = s.mini_size + s.values_size;
    if (s.stride == 0) {
        if (s.expected)
            return format_error(printf_string(
                "spectra of 0 points without mini headers: no byte of the file stands for the %llu spectra "
                "that the series header promises",
                U(s.expected)));
        return {};
    }
    uint64_t room = s.size - s.data_start;
    uint64_t fit = room / s.stride;
    s.held = std::min(s.expected, fit);
    s.partial_bytes = s.held < s.expected ? room - s.held * s.stride : 0;
    return {};
}

}  // namespace

Failure read_failure(long long got) {
    if (got == kRaised) return {Problem::Raised, 0, {}};
    return errno == EINTR ? Failure{Problem::Interrupted, EINTR, {}} : Failure{Problem::System, errno, {}};
}

Failure read_at(ByteSource& src, const Structure& s, void* dst, size_t n, uint64_t at) {
    if (n == 0) return {};  // dst may be the null data of an empty buffer
    if (at <= s.head.size() && s.head.size() - at >= n) {
        std::memcpy(dst, s.head.data() + at, n);
        return {};
    }
    long long got = src.read(dst, n, at);
    if (got < 0) return read_failure(got);
    if (size_t(got) < n) return became_shorter(s, at + n);
    return {};
}

Failure became_shorter(const Structure& s, uint64_t end) {
    return truncated(printf_string("the file became shorter than %llu bytes while it was read (it had %llu)",
                                   U(end), U(s.size)));
}

const Layouts& layouts() {
    static const Layouts L = {
        format::flat_layout("FileHeader"),         format::flat_layout("IndexEntry"),
        format::flat_layout("IndexEntryExtended"), format::flat_layout("MainSpectralHeader"),
        format::flat_layout("BenchInfo"),          format::flat_layout("SeriesHeader"),
        format::flat_layout("DiskResidentArray"),  format::flat_layout("Dimension"),
        format::flat_layout("SeriesSpecheader"),   format::flat_layout("SeriesSpecheaderVer3"),
    };
    return L;
}

uint64_t field_uint(const FlatLayout& layout, const uint8_t* record, const char* name, const char* parent) {
    return value_of(field(layout, name, parent), record);
}

namespace {

uint64_t value_of(const FlatField& f, const uint8_t* record) {
    const uint8_t* p = record + f.offset;
    switch (f.kind) {
        case Kind::U16: return format::load_u16(p);
        case Kind::U32: return format::load_u32(p);
        case Kind::I32: return uint64_t(int64_t(format::load_i32(p)));
        case Kind::U64: return format::load_u64(p);
        case Kind::Bit: return (format::load_u32(p) >> f.bit) & 1u;
        default: std::abort();
    }
}

}  // namespace

double field_real(const FlatLayout& layout, const uint8_t* record, const char* name) {
    const FlatField& f = field(layout, name);
    if (f.kind != Kind::F32) std::abort();
    return format::load_f32(record + f.offset);
}

namespace {

// The format that a file's first bytes name by their magic number, or null.
const char* magic_of(const uint8_t* head, size_t len) {
    // Magic numbers of formats that users mistake for, or export from, spectral
    // data files; none starts with the identification text that those start with.
    struct Magic {
        std::string_view bytes;
        const char* what;
    };
    using namespace std::string_view_literals;
    static constexpr Magic kMagics[] = {
        {"\x7f" "ELF"sv, "an ELF program binary"},
        {"PK\x03\x04"sv, "a ZIP archive"},
        {"\x1f\x8b"sv, "a gzip archive"},
        {"\xfd" "7zXZ\0"sv, "an xz archive"},
        {"\x28\xb5\x2f\xfd"sv, "a zstd archive"},
        {"7z\xbc\xaf\x27\x1c"sv, "a 7z archive"},
        {"\x89PNG\r\n\x1a\n"sv, "a PNG image"},
        {"\xff\xd8\xff"sv, "a JPEG image"},
        {"GIF8"sv, "a GIF image"},
        {"II*\0"sv, "a TIFF image"},
        {"MM\0*"sv, "a TIFF image"},
        {"%PDF-"sv, "a PDF document"},
        {"\x89HDF\r\n\x1a\n"sv, "an HDF5 file"},
        {"CDF\x01"sv, "a netCDF file"},
        {"CDF\x02"sv, "a netCDF file"},
        {"\x93NUMPY"sv, "a NumPy array file"},
    };
    const std::string_view start(reinterpret_cast<const char*>(head), len);
    for (const Magic& m : kMagics)
        if (start.starts_with(m.bytes)) return m.what;
    // bzip2: "BZh", the block size digit, then the block magic (pi's digits).
    if (len >= 10 && start.starts_with("BZh") && head[3] >= '1' && head[3] <= '9' &&
        start.substr(4, 6) == "1AY&SY")
        return "a bzip2 archive";
    return nullptr;
}

}  // namespace

std::string describe_foreign(const uint8_t* head, size_t len) {
    if (const char* what = magic_of(head, len)) return what;
    if (len == 0) return {};
    size_t printable = 0;
    for (size_t i = 0; i < len; ++i)
        printable += (head[i] >= 0x20 && head[i] < 0x7f) || head[i] == '\n' || head[i] == '\r' ||
                     head[i] == '\t' || head[i] >= 0x80;
    if (printable == len) return "text";
    return {};
}

Failure inspect(ByteSource& src, uint64_t size, Structure& s) {
    const Layouts& L = layouts();
    s.size = size;

    std::vector<uint8_t>& head = s.head;
    head.resize(size_t(std::min<uint64_t>(s.size, kHeadRead)));
    long long got = src.read(head.data(), head.size(), 0);
    if (got < 0) return read_failure(got);
    head.resize(size_t(got));
    const size_t header_size = L.file_header.size;
    // What the content looks like, for the messages of a file refused here:
    // made only then, as looking through 512 bytes costs more than the rest
    // of a small file's check.
    auto hint = [&head] {
        std::string foreign = describe_foreign(head.data(), std::min(head.size(), size_t(512)));
        return foreign.empty() ? std::string() : " (the content looks like " + foreign + ")";
    };
    if (head.empty()) return format_error("the file is empty");
    // Program binaries and archives are told by their magic numbers, which no
    // spectral data file starts with (its identification text comes first).
    if (const char* what = magic_of(head.data(), std::min(head.size(), size_t(512))))
        return format_error(std::string("not a spectral data file (the content looks like ") + what + ")");
    if (head.size() < header_size)
        return format_error(printf_string("%zu bytes are too short for the file header (%zu bytes)", head.size(),
                                          header_size) +
                            hint());
    s.file_header.assign(head.begin(), head.begin() + header_size);
    const uint8_t* fh = s.file_header.data();

    s.file_type = uint16_t(field_uint(L.file_header, fh, "file_type"));
    if (s.file_type != kSingleSpectrum && s.file_type != kSeries)
        return format_error(printf_string("file type %u (offset %u) is neither a single spectrum (%u) nor a series (%u)",
                                          s.file_type, field(L.file_header, "file_type").offset, kSingleSpectrum,
                                          kSeries) +
                            hint());

    // The extended directory is chosen by "Exte" in the identification text.
    bool extended = text_of(L.file_header, fh, "sti_id_string").find("Exte") != std::string::npos;
    const FlatLayout& entry = extended ? L.entry_extended : L.entry;
    uint64_t count = field_uint(L.file_header, fh, "num_sections");
    uint64_t dir_bytes = count * entry.size;
    if (s.size - header_size < dir_bytes)
        return format_error(printf_string(
            "the directory of %llu %s entries (%llu bytes from offset %zu) runs past the end of the file (%llu bytes)",
            U(count), extended ? "extended" : "compact", U(dir_bytes), header_size, U(s.size)));
    std::vector<uint8_t> dir_bytes_read;
    if (Failure f = read_record(src, s, header_size, size_t(dir_bytes), "directory", dir_bytes_read);
        f.problem != Problem::None)
        return f;
    const uint8_t* dir = dir_bytes_read.data();
    s.sections.reserve(count);
    for (uint64_t k = 0; k < count; ++k) {
        const uint8_t* e = dir + k * entry.size;
        s.sections.push_back({uint16_t(field_uint(entry, e, "section_type")), field_uint(entry, e, "section_offset"),
                              field_uint(entry, e, "section_length")});
    }
    return s.file_type == kSingleSpectrum ? inspect_single(src, s) : inspect_series(src, s);
}

}  // namespace karvo::bulk
