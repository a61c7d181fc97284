// The layouts of every structure in a spectral data file.
#include "records/layout.hpp"

namespace karvo::format {
namespace {

// File header: two string fields, then 2 + 16 bytes, then the directory.
constexpr Field kHeaderEof[] = {raw("hard_eof", 1), skip(1)};
constexpr Field kHeaderFixed[] = {u16("file_type"), u16("version"), skip(2),
                                  u16("num_sections"), u32("time"), u32("ex_time")};
constexpr Block bHeaderEof = block(kHeaderEof);
constexpr Block bHeaderFixed = block(kHeaderFixed);
constexpr Step sFileHeader[] = {
    {.kind = StepKind::Text, .attr = "sti_id_string", .width = 30, .width_name = "ST_ID_LENGTH"},
    {.kind = StepKind::Text, .attr = "file_id", .width = 256, .width_name = "FILE_ID_LENGTH"},
    {.kind = StepKind::Block, .block = &bHeaderEof},
    {.kind = StepKind::Block, .block = &bHeaderFixed},
    {.kind = StepKind::Directory, .attr = "sections", .class_name = "IndexEntry",
     .count_attr = "num_sections", .alt_class_name = "IndexEntryExtended",
     .marker_attr = "sti_id_string", .marker = "Exte"},
};

constexpr Field kIndexEntry[] = {u16("section_type"), u32("section_offset"), u32("section_length"),
                                 u16("index_unsigned"), u32("index_long")};
constexpr Field kIndexEntryExtended[] = {u16("section_type"), u64("section_offset"), u32("section_length"),
                                         u32("index_unsigned"), u32("index_long")};
constexpr Block bIndexEntry = block(kIndexEntry);
constexpr Block bIndexEntryExtended = block(kIndexEntryExtended);
constexpr Step sIndexEntry[] = {{.kind = StepKind::Block, .block = &bIndexEntry}};
constexpr Step sIndexEntryExtended[] = {{.kind = StepKind::Block, .block = &bIndexEntryExtended}};

constexpr Field kMainSpectralHeader[] = {
    u32("data_type"), u32("num_points"), u32("x_units"), u32("y_units"),
    f32("first_x"), f32("last_x"), f32("noise"), u32("num_scan_points"),
    u32("final_peak_pos"), u32("num_scans"), f32("interp_peak"), u32("num_transform_pts"),
    u32("num_post_peak_pts"), u32("BK_num_scans"), f32("BK_gain"), u32("apod_ID"),
    f32("apod_value"), u32("duration"), f32("burst_peak_height"), u32("phase_corr_ID"),
    f32("laser_freq"), f32("SSP"), f32("aperture_ref"), f32("aperture"),
    f32("raman_freq"), u32("stage_x"), u32("stage_y"), u32("stage_z"),
    u32("flags"), u32("old_y_units"), u32("old_type"), u32("bad_scans"),
    u32("BK_bad_scans"), u32("collect_error_map"), u32("BK_collect_error_map"),
};
constexpr Block bMainSpectralHeader = block(kMainSpectralHeader);
static_assert(bMainSpectralHeader.size == 140);
constexpr Step sMainSpectralHeader[] = {{.kind = StepKind::Block, .block = &bMainSpectralHeader}};

constexpr Field kBenchInfo[] = {
    u32("bench_ID"), u32("detector_ID"), u32("beam_split_ID"), u32("source_ID"), u32("AD_bits"),
    f32("HPF"), f32("LPF"), u32("switch_gain_hi"), u32("switch_gain_lo"), u32("switch_gain_p1"),
    u32("switch_gain_p2"), f32("gain"), f32("velocity"), u32("accessory_ID"),
};
constexpr Block bBenchInfo = block(kBenchInfo);
static_assert(bBenchInfo.size == 56);
constexpr Step sBenchInfo[] = {{.kind = StepKind::Block, .block = &bBenchInfo}};

// Text fields of the series header are decoded from the one 262-byte block.
constexpr Field kSeriesHeader[] = {
    u16("series_type"), text("series_ID", 64), f32("min_range"), f32("max_range"),
    f32("step_size"), f32("min_range_2"), f32("max_range_2"), f32("step_size_2"),
    u32("max_spectra"), u16("converted"), u32("num_converted"), f32("flow_cell_temp"),
    f32("transfer_line_temp"), u16("gs_offset"), u16("gs_ifg_pts"), u32("num_phase_data_pts"),
    u32("num_phase_transform_pts"), u16("num_dimensions"), u16("z_units"), text("z_short_label", 32),
    text("z_long_label", 32), u16("z_units_2"), text("z_short_label_2", 32), text("z_long_label_2", 32),
    f32("spectra_min"), f32("spectra_max"),
};
constexpr Block bSeriesHeader = block(kSeriesHeader);
static_assert(bSeriesHeader.size == 262);
constexpr Step sSeriesHeader[] = {{.kind = StepKind::Block, .block = &bSeriesHeader}};

// 64-bit fields at offsets 4 and 12: unaligned on purpose.
constexpr Field kDimension[] = {u32("dimension_type"), u64("first_dim"), u64("last_dim"),
                                f32("scale_dim"), u32("num_elements"), u32("unit_ID")};
constexpr Block bDimension = block(kDimension);
static_assert(bDimension.size == 32);
constexpr Step sDimension[] = {
    {.kind = StepKind::Block, .block = &bDimension},
    {.kind = StepKind::Text, .attr = "short_label", .width = 150},
    {.kind = StepKind::Text, .attr = "long_label", .width = 150},
};

// Seven flags from bits 0..6 of one signed word; the word itself is not kept.
constexpr Field kDataBlobFormat[] = {
    skip(4), flag("mini_hdr", 0), flag("spectral_hdr", 1), flag("bench_hdr", 2),
    flag("interleaved", 3), flag("line_data", 4), flag("area_data", 5), flag("depth_data", 6),
};
constexpr Block bDataBlobFormat = block(kDataBlobFormat);
static_assert(bDataBlobFormat.size == 4);
constexpr Step sDataBlobFormat[] = {{.kind = StepKind::Block, .block = &bDataBlobFormat}};

constexpr Field kLinkHead[] = {u32("link_type"), u32("section_type"), u32("section_number"),
                               u32("mini_header_type")};
constexpr Field kLinkOffsets[] = {u32("offset_spectral_header"), u32("offset_bench_header"),
                                  u32("offset_mini_header"), u32("offset_data_array")};
constexpr Block bLinkHead = block(kLinkHead);
constexpr Block bLinkOffsets = block(kLinkOffsets);
constexpr Step sLinkToData[] = {
    {.kind = StepKind::Block, .block = &bLinkHead},
    {.kind = StepKind::Nested, .attr = "data_blob_format", .class_name = "DataBlobFormat"},
    {.kind = StepKind::Block, .block = &bLinkOffsets},
    {.kind = StepKind::Text, .attr = "filename", .width = 260, .width_name = "MAX_PATH"},
    {.kind = StepKind::Text, .attr = "title", .width = 256, .width_name = "FILE_ID_LENGTH"},
};

constexpr Field kSpecheaderHead[] = {u32("num_scans"), u32("start_time"), f32("temp"), f32("pressure")};
constexpr Field kSpecheaderTail[] = {f32("x_position"), f32("y_position"), u32("detector_ID"), f32("pk_height")};
constexpr Field kSpecheaderVer3[] = {u32("direction")};
constexpr Block bSpecheaderHead = block(kSpecheaderHead);
constexpr Block bSpecheaderTail = block(kSpecheaderTail);
constexpr Block bSpecheaderVer3 = block(kSpecheaderVer3);
constexpr Step sSeriesSpecheader[] = {
    {.kind = StepKind::Block, .block = &bSpecheaderHead},
    {.kind = StepKind::Text, .attr = "spec_title", .width = 64},
    {.kind = StepKind::Block, .block = &bSpecheaderTail},
};
constexpr Step sSeriesSpecheaderVer3[] = {
    {.kind = StepKind::BaseInit},
    {.kind = StepKind::Block, .block = &bSpecheaderVer3},
};

constexpr Field kDiskHead[] = {u32("structure_size"), u32("version"), u32("array_element_size")};
constexpr Field kDiskDims[] = {u32("num_dimensions")};
constexpr Block bDiskHead = block(kDiskHead);
constexpr Block bDiskDims = block(kDiskDims);
constexpr Step sDiskResidentArray[] = {
    {.kind = StepKind::Block, .block = &bDiskHead},
    {.kind = StepKind::Nested, .attr = "link", .class_name = "LinkToData"},
    {.kind = StepKind::Block, .block = &bDiskDims},
    {.kind = StepKind::List, .attr = "dimensions", .class_name = "Dimension", .count_attr = "num_dimensions"},
};

#define FRAMED(name) "\n    " name "\n    "

constexpr Recipe kRecipes[] = {
    {"FileHeader", nullptr, FRAMED("ST_FILE_HEADER"), sFileHeader},
    {"IndexEntry", nullptr, FRAMED("ST_INDEX_ENTRY"), sIndexEntry},
    {"IndexEntryExtended", "IndexEntry", FRAMED("ST_INDEX_ENTRY_EXTENDED"), sIndexEntryExtended},
    {"MainSpectralHeader", nullptr, FRAMED("MAIN_SPECTRAL_HEADER"), sMainSpectralHeader},
    {"BenchInfo", nullptr, FRAMED("BENCH_INFO"), sBenchInfo},
    {"SeriesHeader", nullptr, FRAMED("SERIES_HEADER"), sSeriesHeader},
    {"Dimension", nullptr, FRAMED("DIMENSION"), sDimension},
    {"DataBlobFormat", nullptr, FRAMED("DATABLOBFORMAT"), sDataBlobFormat},
    {"LinkToData", nullptr, FRAMED("LINK_TO_DATA"), sLinkToData},
    {"SeriesSpecheader", nullptr,
     "\n    A possible mini header in data blobs.\n" FRAMED("SERIES_SPECHEADER"), sSeriesSpecheader},
    {"SeriesSpecheaderVer3", "SeriesSpecheader",
     "\n    A possible mini header in data blobs. SeriesSpecheader + direction\n" FRAMED("SERIES_SPECHEADER_VER3"),
     sSeriesSpecheaderVer3},
    {"DiskResidentArray", nullptr, FRAMED("DISK_RESIDENT_ARRAY"), sDiskResidentArray},
};

#undef FRAMED

constexpr bool blocks_fit_decoder() {
    for (const Recipe& r : kRecipes)
        for (const Step& s : r.steps)
            if (s.block && s.block->fields.size() > kMaxBlockFields) return false;
    return true;
}
static_assert(blocks_fit_decoder(), "a block has more fields than the decoder holds");

}  // namespace

std::span<const Recipe> record_recipes() { return kRecipes; }

}  // namespace karvo::format
