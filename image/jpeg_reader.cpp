// JPEG reader through the library's decompressor. Every process the library decodes is taken
// (baseline, extended, progressive, arithmetic-coded). The pixels are the library's default
// output for the file: grey for one component, RGB for three, CMYK for four (CMYK or YCCK
// files, the library turning YCCK into CMYK). Grey and RGB pictures are asked for as blue,
// green, red, which the library computes with the same arithmetic as its default, so the library
// writes the finished pixels itself; rows go straight to their bottom-up place. CMYK values are
// taken as stored inverted, the way Adobe applications write them, whether or not the file
// carries the Adobe marker: red = C * K / 255, green = M * K / 255, blue = Y * K / 255, rounded
// to nearest. The reader's own limits are 1, 3 or 4 components in the file and 1..16384 pixels
// each way, and a budget on the work of the scans: every scan visits each block of its
// components, whether or not the file holds data for them, so a small file with thousands of
// scans over a large frame could keep the library busy for minutes. The scans of a file may
// visit kMaxScanBlockVisits blocks in all; real encoders stay far below (ten scans over a
// 16384 x 16384 picture visit about 50 million).
//
// Coefficient arrays of whole large pictures (progressive and other multi-scan files) come from
// this reader rather than the library's memory manager: one zero-filled block per component, which
// the system hands out as fresh zero pages, each row on pages of its own and kept to 4 KiB pages,
// so the parts of the arrays no scan writes are never touched. The output pass reads every row,
// and on some systems (seen on Debian 12 guests) a read of a fresh page makes it resident like a
// write, so a row none of whose pages was ever touched is read from one shared zero row instead.
// A small file claiming a large progressive picture then costs about the picture, not the
// picture and two more of its size in coefficients. The library's checks on every access
// are kept; its zeroing of rows on first access is already done. When a memory limit is set
// for the library (JPEGMEM), the library keeps its own arrays, and so it does for frames whose
// arrays take at most 16 MiB, where the bookkeeping of this scheme costs more than the arrays:
// filling them whole is cheap next to decoding them.
//
// The file reaches the library through a memory source that hands it over whole in the first
// fill, without a copy, so the library's fast Huffman path (taken only while a few kilobytes of
// input are in its buffer) runs to the last kilobytes of the scan. It never suspends: past the end
// of the file every fill yields an end-of-image marker (FF D9) and the library's premature-end
// warning, so a file cut short inside its scan data still decodes to a picture of full size.
// The library prints the first warning of a decode through its message output, which here holds
// the line it would print in the decode report instead of writing to standard error: the caller
// prints it when it reports the file.
//
// A fatal library error leaves the library by a non-local jump. Each jump target sits in a small
// function whose locals are trivially destructible; the decompression object and the picture
// live in the caller, which releases them. An error up to the last row yields null; an error
// while finishing keeps the rows already delivered.

#include "image/jpeg_reader.h"

#include <jerror.h>
#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "base/platform.h"

thread_local JpegInputCursor jpegInputCursor = {nullptr, 0};

namespace {

constexpr std::size_t kMinFileBytes = 20;
constexpr JOCTET kMarkerPrefix = 0xFF;
constexpr JOCTET kStartOfImage = 0xD8;
constexpr JOCTET kEndOfImage = 0xD9;

// What every fill past the end of the file hands over.
constexpr JOCTET kEndOfImageMarker[2] = {kMarkerPrefix, kEndOfImage};

// The library's source record, from the permanent pool.
struct JpegMemorySource {
  jpeg_source_mgr pub;
  bool start_of_file;  // true from init_source until the first fill
};

// Blocks all scans of one file may visit together; at this budget the scans of a hostile file
// cost the library about a second.
constexpr std::uint64_t kMaxScanBlockVisits = 200'000'000;

// The library's progress record followed by the work of the scans seen so far.
struct JpegScanBudget {
  jpeg_progress_mgr pub;
  int lastScan;               // input_scan_number last counted
  std::uint64_t blockVisits;  // blocks of all scans counted so far
};

// One whole-picture array of coefficient blocks, kept in memory in one zero-filled block. The
// record comes from the library's image pool; the block belongs to JpegBlockArrays.
struct JpegBlockArray {
  JBLOCKARRAY rows;      // rowCount row pointers into the block; null until realised
  JBLOCKARRAY readRows;  // rowCount row pointers: what read accesses hand out
  JBLOCKROW zeroRow;     // one row of zero blocks, for rows no write has reached
  bool readRowsCurrent;  // readRows holds every row as it is since the last write access
  JDIMENSION rowCount;   // block rows in the array
  JDIMENSION blocksPerRow;
  JDIMENSION maxAccess;          // most rows one access may ask for
  JDIMENSION firstUndefinedRow;  // rows from here on were never handed out for writing
  bool preZero;                  // rows read before they are written read as zero
  JpegBlockArray* next;          // the array requested before this one
};

// Coefficient rows start on boundaries of this many bytes (the usual page size).
constexpr std::size_t kRowPageBytes = 4096;

// The arrays of one decode, their blocks, and the library's own realisation step.
struct JpegBlockArrays {
  JpegBlockArray* newest = nullptr;
  HeapPtr<std::uint8_t[]> blocks[MAX_COMPONENTS];  // each holds one array's page-aligned rows
  std::size_t blockCount = 0;
  void (*realizeLibraryArrays)(j_common_ptr) = nullptr;
};

// The library's own allocators, kept while its memory manager hands out zero-filled blocks.
// Some damaged files leave parts of the library's working rows unwritten (seen in the
// upsampler's rows), which would otherwise reach the picture as stale heap bytes.
// The record also holds the coefficient arrays, because client_data is the one pointer the
// library hands back to every method.
struct JpegAllocators {
  void* (*small)(j_common_ptr, int, std::size_t);
  void* (*large)(j_common_ptr, int, std::size_t);
  JpegBlockArrays blockArrays;
};

// The library's error manager followed by the jump target of the guarded step in progress, the
// report that takes the message of a fatal error (null: nobody asks, or a reason is given) and
// the report that holds the lines of the library's message output (null: nobody asks).
struct JpegErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jumpBack;
  DecodeReport* report;
  DecodeReport* warnings;
};

JpegMemorySource* memorySource(j_decompress_ptr cinfo) noexcept {
  return reinterpret_cast<JpegMemorySource*>(cinfo->src);
}

j_common_ptr commonPart(j_decompress_ptr cinfo) noexcept {
  return reinterpret_cast<j_common_ptr>(cinfo);
}

// Raises the library's fatal error `code`; does not return.
void raiseFatalError(j_decompress_ptr cinfo, int code) {
  cinfo->err->msg_code = code;
  cinfo->err->error_exit(commonPart(cinfo));
}

// Issues the library's warning `code` through its message output.
void raiseWarning(j_decompress_ptr cinfo, int code) {
  cinfo->err->msg_code = code;
  cinfo->err->emit_message(commonPart(cinfo), -1);
}

// error_exit: writes nothing but the report's reason and jumps back to the guarded step in
// progress.
void jpegErrorExit(j_common_ptr cinfo) {
  auto* errors = reinterpret_cast<JpegErrorManager*>(cinfo->err);
  if (errors->report != nullptr) {
    char message[JMSG_LENGTH_MAX];
    errors->pub.format_message(cinfo, message);
    refuse(errors->report, "JPEG: %s", message);
  }
  std::longjmp(errors->jumpBack, 1);
}

// output_message: the line the library's own output would print on standard error ("%s\n" of
// the formatted message) goes to the report. The library calls it for the first warning of a
// decode (its trace level is 0, so no trace message reaches it).
void holdMessage(j_common_ptr cinfo) {
  auto* errors = reinterpret_cast<JpegErrorManager*>(cinfo->err);
  char message[JMSG_LENGTH_MAX];
  errors->pub.format_message(cinfo, message);
  holdWarning(errors->warnings, message);
}

// progress_monitor: called before each step of input while jpeg_start_decompress reads the scans
// of a multi-scan file; counts the blocks of every new scan once its header has been read and
// raises a fatal error when the budget is spent.
void countScanWork(j_common_ptr common) {
  auto* budget = reinterpret_cast<JpegScanBudget*>(common->progress);
  auto* cinfo = reinterpret_cast<j_decompress_ptr>(common);
  if (cinfo->input_scan_number == budget->lastScan) return;
  budget->lastScan = cinfo->input_scan_number;
  for (int i = 0; i < cinfo->comps_in_scan && i < MAX_COMPS_IN_SCAN; ++i) {
    const jpeg_component_info* component = cinfo->cur_comp_info[i];
    if (component == nullptr) continue;
    budget->blockVisits += std::uint64_t{component->width_in_blocks} * component->height_in_blocks;
  }
  if (budget->blockVisits > kMaxScanBlockVisits) {
    auto* errors = reinterpret_cast<JpegErrorManager*>(common->err);
    refuse(errors->report, "JPEG: its scans would visit more than %llu blocks (damaged file)",
           static_cast<unsigned long long>(kMaxScanBlockVisits));
    errors->report = nullptr;  // the reason above, not the library's message
    raiseFatalError(cinfo, JERR_IMAGE_TOO_BIG);
  }
}

JpegAllocators* allocatorsOf(j_common_ptr cinfo) noexcept {
  return static_cast<JpegAllocators*>(cinfo->client_data);
}

// The library's allocators never return null: a failure leaves through error_exit.
void* zeroedSmall(j_common_ptr cinfo, int pool, std::size_t bytes) {
  void* block = allocatorsOf(cinfo)->small(cinfo, pool, bytes);
  std::memset(block, 0, bytes);
  return block;
}

void* zeroedLarge(j_common_ptr cinfo, int pool, std::size_t bytes) {
  void* block = allocatorsOf(cinfo)->large(cinfo, pool, bytes);
  std::memset(block, 0, bytes);
  return block;
}

// Made here rather than by the library's own sample-array allocator, which pads each row for
// its SIMD code and leaves the padding (which the upsampler reads) uninitialised: rows padded to
// kSampleRowAlign bytes, all zero, from the zero-filling allocators above.
constexpr std::size_t kSampleRowAlign = 64;

JSAMPARRAY zeroedSampleArray(j_common_ptr cinfo, int pool, JDIMENSION samplesPerRow,
                             JDIMENSION rowCount) {
  const std::size_t rowBytes =
      (std::size_t{samplesPerRow} * sizeof(JSAMPLE) + kSampleRowAlign - 1) / kSampleRowAlign *
      kSampleRowAlign;
  auto* rows =
      static_cast<JSAMPARRAY>(zeroedSmall(cinfo, pool, std::size_t{rowCount} * sizeof(JSAMPROW)));
  auto* block = static_cast<JSAMPLE*>(zeroedLarge(cinfo, pool, std::size_t{rowCount} * rowBytes));
  for (JDIMENSION row = 0; row < rowCount; ++row) rows[row] = block + std::size_t{row} * rowBytes;
  return rows;
}

JpegBlockArrays& blockArraysOf(j_common_ptr cinfo) noexcept {
  return allocatorsOf(cinfo)->blockArrays;
}

// request_virt_barray: records an array to be realised with the others; the library asks only
// for image-lifetime arrays, anything else is its bad-pool error.
jvirt_barray_ptr requestBlockArray(j_common_ptr cinfo, int pool, boolean preZero,
                                   JDIMENSION blocksPerRow, JDIMENSION rowCount,
                                   JDIMENSION maxAccess) {
  if (pool != JPOOL_IMAGE) {
    cinfo->err->msg_code = JERR_BAD_POOL_ID;
    cinfo->err->msg_parm.i[0] = pool;
    cinfo->err->error_exit(cinfo);
  }
  auto* array = static_cast<JpegBlockArray*>(zeroedSmall(cinfo, pool, sizeof(JpegBlockArray)));
  JpegBlockArrays& arrays = blockArraysOf(cinfo);
  array->rowCount = rowCount;
  array->blocksPerRow = blocksPerRow;
  array->maxAccess = maxAccess;
  array->preZero = preZero != FALSE;
  array->next = arrays.newest;
  arrays.newest = array;
  return reinterpret_cast<jvirt_barray_ptr>(array);
}

// realize_virt_arrays: the library's own arrays first, then one zero-filled block for each of
// ours not yet realised. Running out of memory is the library's fatal out-of-memory error.
void realizeArrays(j_common_ptr cinfo) {
  JpegBlockArrays& arrays = blockArraysOf(cinfo);
  arrays.realizeLibraryArrays(cinfo);
  for (JpegBlockArray* array = arrays.newest; array != nullptr; array = array->next) {
    if (array->rows != nullptr) continue;
    // Rows start on pages of their own, so a page written for one row never makes the next one
    // look written (see accessBlockArray).
    const std::size_t rowStride =
        (std::size_t{array->blocksPerRow} * sizeof(JBLOCK) + kRowPageBytes - 1) / kRowPageBytes *
        kRowPageBytes;
    const std::size_t bytes = std::size_t{array->rowCount} * rowStride + kRowPageBytes;
    auto* decompress = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (arrays.blockCount == MAX_COMPONENTS) raiseFatalError(decompress, JERR_OUT_OF_MEMORY);
    HeapPtr<std::uint8_t[]>& block = arrays.blocks[arrays.blockCount];
    block.reset(static_cast<std::uint8_t*>(heapAllocateZeroed(bytes)));
    if (!block) raiseFatalError(decompress, JERR_OUT_OF_MEMORY);
    ++arrays.blockCount;
    // A hostile file may write a few blocks of a huge array: 4 KiB pages keep it at those.
    adviseSparseBlock(block.get(), bytes);
    const auto start = reinterpret_cast<std::uintptr_t>(block.get());
    std::uint8_t* const first =
        block.get() + ((kRowPageBytes - start % kRowPageBytes) % kRowPageBytes);
    auto* rows = static_cast<JBLOCKARRAY>(
        zeroedSmall(cinfo, JPOOL_IMAGE, std::size_t{array->rowCount} * sizeof(JBLOCKROW)));
    for (JDIMENSION row = 0; row < array->rowCount; ++row) {
      rows[row] = reinterpret_cast<JBLOCKROW>(first + std::size_t{row} * rowStride);
    }
    array->readRows = static_cast<JBLOCKARRAY>(
        zeroedSmall(cinfo, JPOOL_IMAGE, std::size_t{array->rowCount} * sizeof(JBLOCKROW)));
    array->zeroRow = static_cast<JBLOCKROW>(
        zeroedLarge(cinfo, JPOOL_IMAGE, std::size_t{array->blocksPerRow} * sizeof(JBLOCK)));
    array->rows = rows;
  }
}

// access_virt_barray with the library's checks: an access past the array, larger than promised
// or before realisation, a write that skips rows never written, and a read of such rows in an
// array without pre-zeroing are its bad-virtual-access error. Rows never handed out for writing
// are still the block's zeros, which is what pre-zeroing asks for.
JBLOCKARRAY accessBlockArray(j_common_ptr cinfo, jvirt_barray_ptr handle, JDIMENSION firstRow,
                             JDIMENSION rowCount, boolean writable) {
  auto* array = reinterpret_cast<JpegBlockArray*>(handle);
  auto* decompress = reinterpret_cast<j_decompress_ptr>(cinfo);
  const std::uint64_t endRow = std::uint64_t{firstRow} + rowCount;
  if (endRow > array->rowCount || rowCount > array->maxAccess || array->rows == nullptr) {
    raiseFatalError(decompress, JERR_BAD_VIRTUAL_ACCESS);
  }
  if (array->firstUndefinedRow < endRow) {
    if (array->firstUndefinedRow < firstRow && writable != FALSE) {
      raiseFatalError(decompress, JERR_BAD_VIRTUAL_ACCESS);
    }
    if (!array->preZero && writable == FALSE) raiseFatalError(decompress, JERR_BAD_VIRTUAL_ACCESS);
    if (writable != FALSE) array->firstUndefinedRow = static_cast<JDIMENSION>(endRow);
  }
  if (writable != FALSE) {
    array->readRowsCurrent = false;
    return array->rows + firstRow;
  }
  // A row whose pages no write has reached reads as the shared zero row: on some systems reading
  // a fresh page makes it resident like a write, and the output pass reads every row. The table
  // handed out covers every row, as the library's own table of an array held in memory does: its
  // block smoothing reads rows before and after the ones it asks for. It is built at the first
  // read after a write, which in practice is once, when the output pass starts after the last
  // scan.
  if (!array->readRowsCurrent) {
    for (JDIMENSION row = 0; row < array->rowCount; ++row) {
      JBLOCKROW blocks = array->rows[row];
      if (!anyPageTouched(blocks, std::size_t{array->blocksPerRow} * sizeof(JBLOCK))) {
        blocks = array->zeroRow;
      }
      array->readRows[row] = blocks;
    }
    array->readRowsCurrent = true;
  }
  return array->readRows + firstRow;
}

// Called once, at the start of jpeg_read_header.
void init_source(j_decompress_ptr cinfo) { memorySource(cinfo)->start_of_file = true; }

// Hands over the rest of the file, which the library only reads. Past the end it hands over
// FF D9 with the premature-end warning; an empty first fill is the fatal empty-input error.
// Never suspends.
boolean fill_input_buffer(j_decompress_ptr cinfo) {
  JpegMemorySource* source = memorySource(cinfo);
  if (jpegInputCursor.remaining > 0) {
    source->pub.next_input_byte = jpegInputCursor.next;
    source->pub.bytes_in_buffer = static_cast<std::size_t>(jpegInputCursor.remaining);
    jpegInputCursor.next += jpegInputCursor.remaining;
    jpegInputCursor.remaining = 0;
  } else {
    if (source->start_of_file) raiseFatalError(cinfo, JERR_INPUT_EMPTY);
    raiseWarning(cinfo, JWRN_JPEG_EOF);
    source->pub.next_input_byte = kEndOfImageMarker;
    source->pub.bytes_in_buffer = sizeof(kEndOfImageMarker);
  }
  source->start_of_file = false;
  return TRUE;
}

// Skips count bytes, refilling as often as needed; a skip past the end of the file runs into
// the end-of-image marker of the fill.
void skip_input_data(j_decompress_ptr cinfo, long count) {
  if (count <= 0) return;
  jpeg_source_mgr* source = cinfo->src;
  while (static_cast<unsigned long>(count) > source->bytes_in_buffer) {
    count -= static_cast<long>(source->bytes_in_buffer);
    source->fill_input_buffer(cinfo);
  }
  source->next_input_byte += count;
  source->bytes_in_buffer -= static_cast<std::size_t>(count);
}

void term_source(j_decompress_ptr) {}

// The decompression object and its error manager for one decode. The object is destroyed with
// the wrapper once creation has begun (the object starts zero-filled, which the library's
// destroy accepts even when creation failed half-way).
class JpegDecompressor {
 public:
  JpegDecompressor() noexcept {
    jpeg_std_error(&errors.pub);
    errors.pub.error_exit = jpegErrorExit;
    errors.pub.output_message = holdMessage;
    cinfo.err = &errors.pub;
    scanBudget.pub.progress_monitor = countScanWork;
  }
  ~JpegDecompressor() { destroy(); }
  JpegDecompressor(const JpegDecompressor&) = delete;
  JpegDecompressor& operator=(const JpegDecompressor&) = delete;

  void destroy() noexcept {
    if (!created) return;
    jpeg_destroy_decompress(&cinfo);
    created = false;
  }

  jpeg_decompress_struct cinfo{};
  JpegErrorManager errors{};
  JpegScanBudget scanBudget{};
  JpegAllocators allocators{};
  bool created = false;
};

[[nodiscard]] bool acceptedShape(unsigned components, JDIMENSION width,
                                 JDIMENSION height) noexcept {
  // Grey files arrive here as three-component blue-green-red output.
  if (components != 3 && components != 4) return false;
  return width >= 1 && width <= kMaxImageSide && height >= 1 && height <= kMaxImageSide;
}

// The reason acceptedShape refused.
void refuseShape(DecodeReport* report, unsigned components, JDIMENSION width,
                 JDIMENSION height) noexcept {
  if (components != 3 && components != 4) {
    refuse(report,
           "JPEG with %u colour components is not converted: save it as colour or greyscale JPEG",
           components);
  } else if (width < 1 || width > kMaxImageSide) {
    refuse(report, "JPEG width %u is outside 1..%u", width, kMaxImageSide);
  } else {
    refuse(report, "JPEG height %u is outside 1..%u", height, kMaxImageSide);
  }
}

// Frames whose coefficients of all components take at most this many bytes keep the library's
// own arrays: filling them whole costs less than this reader's per-row page bookkeeping (up to
// twice as long as the decode itself for a 256 x 256 progressive picture), and a hostile file can
// make the library fill no more than this.
constexpr std::uint64_t kSmallFrameCoefficientBytes = std::uint64_t{16} << 20;

// Whether the frame read by jpeg_read_header is small enough for the library's own arrays: its
// coefficient blocks, each component's padded to whole blocks at the frame's full size.
[[nodiscard]] bool smallFrame(const jpeg_decompress_struct* cinfo) noexcept {
  const std::uint64_t blocksAcross = (std::uint64_t{cinfo->image_width} + 7) / 8;
  const std::uint64_t blocksDown = (std::uint64_t{cinfo->image_height} + 7) / 8;
  const auto components = static_cast<std::uint64_t>(std::max(cinfo->num_components, 0));
  return blocksAcross * blocksDown * components * sizeof(JBLOCK) <= kSmallFrameCoefficientBytes;
}

// Most rows one jpeg_read_scanlines call is handed; the library delivers at most its
// rec_outbuf_height (1 to 4) per call.
constexpr JDIMENSION kRowsPerRead = 8;

// x * k / 255 rounded to nearest, for samples x and k.
[[nodiscard]] constexpr std::uint8_t scaleByBlack(unsigned x, unsigned k) noexcept {
  return static_cast<std::uint8_t>((x * k + 127) / 255);
}

// Turns count C,M,Y,K pixels (stored inverted) into B,G,R.
void cmykToBgr(const JSAMPLE* cmyk, std::uint8_t* bgr, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i, cmyk += 4, bgr += 3) {
    const unsigned black = cmyk[3];
    bgr[0] = scaleByBlack(cmyk[2], black);
    bgr[1] = scaleByBlack(cmyk[1], black);
    bgr[2] = scaleByBlack(cmyk[0], black);
  }
}

// Creates the object and decodes every row into `image`, bottom row first as an Image keeps
// them, three bytes per pixel. Grey and RGB output is switched to blue-green-red, so those rows
// arrive finished; CMYK rows (YCCK files included, which the library converts) pass through a
// few rows from the library's image pool and are converted here. The jump target of every fatal
// library error up to the last row. False on a fatal error, a refused component count or size,
// a missing picture block or a read that delivers no row; `image` may then hold a partial
// picture, which the caller releases.
[[nodiscard]] bool decodeRows(JpegDecompressor& jpeg, ImagePtr& image) noexcept {
  if (setjmp(jpeg.errors.jumpBack) != 0) return false;

  jpeg_decompress_struct* cinfo = &jpeg.cinfo;
  jpeg.created = true;
  jpeg_create_decompress(cinfo);
  cinfo->progress = &jpeg.scanBudget.pub;  // creation clears every field but err
  jpeg.allocators.small = cinfo->mem->alloc_small;
  jpeg.allocators.large = cinfo->mem->alloc_large;
  cinfo->client_data = &jpeg.allocators;
  cinfo->mem->alloc_small = zeroedSmall;
  cinfo->mem->alloc_large = zeroedLarge;
  cinfo->mem->alloc_sarray = zeroedSampleArray;
  jpeg.errors.pub.trace_level = 0;
  installJpegMemorySource(cinfo);
  jpeg_read_header(cinfo, TRUE);  // a tables-only stream is the fatal no-image error
  // The arrays are requested inside jpeg_start_decompress, so the frame's size is known here.
  if (cinfo->mem->max_memory_to_use == 0 && !smallFrame(cinfo)) {
    jpeg.allocators.blockArrays.realizeLibraryArrays = cinfo->mem->realize_virt_arrays;
    cinfo->mem->request_virt_barray = requestBlockArray;
    cinfo->mem->realize_virt_arrays = realizeArrays;
    cinfo->mem->access_virt_barray = accessBlockArray;
  }
  if (cinfo->out_color_space == JCS_GRAYSCALE || cinfo->out_color_space == JCS_RGB) {
    cinfo->out_color_space = JCS_EXT_BGR;
  }
  if (cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK) {
    cinfo->out_color_space = JCS_CMYK;
  }
  jpeg_calc_output_dimensions(cinfo);

  const auto components = static_cast<unsigned>(cinfo->output_components);
  const JDIMENSION width = cinfo->output_width;
  const JDIMENSION height = cinfo->output_height;
  if (!acceptedShape(components, width, height)) {
    refuseShape(jpeg.errors.report, components, width, height);
    return false;
  }
  image = createImage(3, height, width);
  if (!image) {
    refuseForMemory(jpeg.errors.report);
    return false;
  }

  jpeg_start_decompress(cinfo);
  // The budget has done its work by now: a file of several scans has been read to its end
  // inside jpeg_start_decompress, the monitor running before each step, and a file of one scan
  // visits at most 4 x 2048 x 2048 blocks (a second scan header in it is the library's fatal
  // error). From here on the monitor would only be called once per jpeg_read_scanlines.
  cinfo->progress = nullptr;
  const bool cmyk = components == 4;
  JSAMPARRAY cmykRows =
      cmyk ? cinfo->mem->alloc_sarray(commonPart(cinfo), JPOOL_IMAGE, width * 4, kRowsPerRead)
           : nullptr;
  const std::size_t rowBytes = image->rowBytes();
  JSAMPROW bottomRow = image->pixels();
  while (cinfo->output_scanline < height) {
    // Scanline s (0 = top) belongs in Image row height - 1 - s.
    const JDIMENSION first = cinfo->output_scanline;
    const JDIMENSION count = std::min(kRowsPerRead, height - first);
    JSAMPROW rows[kRowsPerRead];
    for (JDIMENSION i = 0; i < count; ++i) {
      rows[i] = bottomRow + std::size_t{height - 1 - first - i} * rowBytes;
    }
    const JDIMENSION delivered = jpeg_read_scanlines(cinfo, cmyk ? cmykRows : rows, count);
    if (delivered == 0) {
      refuse(jpeg.errors.report, "JPEG: no row after row %u of %u", first, height);
      return false;
    }
    if (cmyk) {
      for (JDIMENSION i = 0; i < delivered; ++i) cmykToBgr(cmykRows[i], rows[i], width);
    }
  }
  return true;
}

// Finishes the decode. The jump target of a fatal error while finishing, which ends finishing
// and keeps the rows.
void finishDecode(JpegDecompressor& jpeg) noexcept {
  jpeg.errors.report = nullptr;  // the picture is kept whatever happens here
  if (setjmp(jpeg.errors.jumpBack) != 0) return;
  jpeg_finish_decompress(&jpeg.cinfo);
}

}  // namespace

void installJpegMemorySource(jpeg_decompress_struct* cinfo) noexcept {
  if (cinfo->src == nullptr) {
    void* record =
        cinfo->mem->alloc_small(commonPart(cinfo), JPOOL_PERMANENT, sizeof(JpegMemorySource));
    auto* source = new (record) JpegMemorySource{};
    cinfo->src = &source->pub;
  }
  jpeg_source_mgr* source = cinfo->src;
  source->init_source = init_source;
  source->fill_input_buffer = fill_input_buffer;
  source->skip_input_data = skip_input_data;
  source->resync_to_restart = jpeg_resync_to_restart;
  source->term_source = term_source;
  source->bytes_in_buffer = 0;
  source->next_input_byte = nullptr;
}

ImagePtr decodeJpeg(ByteSpan bytes, DecodeReport* report, [[maybe_unused]] bool expand) noexcept {
  if (bytes.size() < 2 || bytes[0] != kMarkerPrefix || bytes[1] != kStartOfImage) {
    return nullptr;  // start-of-image marker
  }
  recognise(report, ImageFormat::jpeg);
  if (bytes.size() < kMinFileBytes) {
    refuse(report, "JPEG file cut short: %zu bytes", bytes.size());
    return nullptr;
  }
  if (bytes.size() > kMaxInputFileBytes) {
    refuse(report, "file is 2 GiB or larger");
    return nullptr;
  }
  if (bytes[2] != kMarkerPrefix) {  // the next marker's prefix
    refuse(report, "JPEG without a marker after its start (damaged file)");
    return nullptr;
  }
  jpegInputCursor = {bytes.data(), static_cast<std::int32_t>(bytes.size())};

  JpegDecompressor jpeg;
  jpeg.errors.report = report;
  jpeg.errors.warnings = report;
  ImagePtr image;
  if (!decodeRows(jpeg, image)) return nullptr;
  finishDecode(jpeg);
  const bool rowsAreRgb =
      jpeg.cinfo.out_color_space != JCS_EXT_BGR && jpeg.cinfo.out_color_space != JCS_CMYK;
  jpeg.destroy();

  if (rowsAreRgb) swapRedBlue(*image);
  return image;
}
