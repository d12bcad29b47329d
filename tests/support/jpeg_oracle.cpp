// The library's compressor and a plain decompression, for the JPEG reader's tests. Fatal library
// errors leave by a non-local jump to small functions that hold only trivially destructible
// locals; the buffers live in the callers.

#include "support/jpeg_oracle.h"

#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

namespace {

struct OracleErrors {
  jpeg_error_mgr pub;
  std::jmp_buf jumpBack;
  int errorCode;
};

void oracleErrorExit(j_common_ptr cinfo) {
  auto* errors = reinterpret_cast<OracleErrors*>(cinfo->err);
  errors->errorCode = errors->pub.msg_code;
  std::longjmp(errors->jumpBack, 1);
}

// Counts warnings like the library's own output, but prints nothing.
void oracleEmitMessage(j_common_ptr cinfo, int level) {
  if (level < 0) ++cinfo->err->num_warnings;
}

void setUpErrors(OracleErrors& errors) {
  jpeg_std_error(&errors.pub);
  errors.pub.error_exit = oracleErrorExit;
  errors.pub.emit_message = oracleEmitMessage;
}

struct MemoryDestination {
  unsigned char* data = nullptr;
  unsigned long size = 0;
  ~MemoryDestination() { std::free(data); }
};

void applyLayout(jpeg_compress_struct& cinfo, const JpegEncoding& encoding) {
  switch (encoding.color) {
    case JpegColor::Grey:
      cinfo.in_color_space = JCS_GRAYSCALE;
      break;
    case JpegColor::Rgb:
      cinfo.in_color_space = JCS_RGB;
      break;
    case JpegColor::Cmyk:
    case JpegColor::Ycck:
      cinfo.in_color_space = JCS_CMYK;
      break;
    case JpegColor::TwoComponents:
      cinfo.in_color_space = JCS_UNKNOWN;
      break;
  }
}

bool compress(jpeg_compress_struct& cinfo, OracleErrors& errors, MemoryDestination& out,
              const JpegEncoding& encoding, const Bytes& samples) {
  if (setjmp(errors.jumpBack) != 0) return false;
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &out.data, &out.size);
  cinfo.image_width = static_cast<JDIMENSION>(encoding.width);
  cinfo.image_height = static_cast<JDIMENSION>(encoding.height);
  cinfo.input_components = jpegInputComponents(encoding.color);
  applyLayout(cinfo, encoding);
  jpeg_set_defaults(&cinfo);
  if (encoding.color == JpegColor::Ycck) jpeg_set_colorspace(&cinfo, JCS_YCCK);
  if (encoding.color == JpegColor::Cmyk || encoding.color == JpegColor::Ycck) {
    cinfo.write_Adobe_marker = encoding.adobeMarker ? TRUE : FALSE;
  }
  jpeg_set_quality(&cinfo, encoding.quality, TRUE);
  for (int i = 0; i < cinfo.num_components; ++i) {
    cinfo.comp_info[i].h_samp_factor = 1;
    cinfo.comp_info[i].v_samp_factor = 1;
  }
  if (encoding.subsampled) {
    cinfo.comp_info[0].h_samp_factor = 2;
    cinfo.comp_info[0].v_samp_factor = 2;
    if (encoding.color == JpegColor::Ycck) {
      cinfo.comp_info[3].h_samp_factor = 2;
      cinfo.comp_info[3].v_samp_factor = 2;
    }
  }
  if (encoding.progressive) jpeg_simple_progression(&cinfo);
  cinfo.arith_code = encoding.arithmetic ? TRUE : FALSE;
  jpeg_start_compress(&cinfo, TRUE);
  const std::size_t rowBytes =
      static_cast<std::size_t>(encoding.width) * static_cast<std::size_t>(cinfo.input_components);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row[1] = {const_cast<JSAMPLE*>(samples.data()) + rowBytes * cinfo.next_scanline};
    jpeg_write_scanlines(&cinfo, row, 1);
  }
  jpeg_finish_compress(&cinfo);
  return true;
}

bool compressTables(jpeg_compress_struct& cinfo, OracleErrors& errors, MemoryDestination& out) {
  if (setjmp(errors.jumpBack) != 0) return false;
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &out.data, &out.size);
  cinfo.image_width = 8;
  cinfo.image_height = 8;
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_write_tables(&cinfo);
  return true;
}

Bytes takeOutput(const MemoryDestination& out) { return Bytes(out.data, out.data + out.size); }

bool readHeader(jpeg_decompress_struct& cinfo, OracleErrors& errors, const Bytes& bytes,
                JpegSourceInstaller installSource) {
  if (setjmp(errors.jumpBack) != 0) return false;
  jpeg_create_decompress(&cinfo);
  if (installSource != nullptr) {
    installSource(&cinfo);
  } else {
    jpeg_mem_src(&cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
  }
  jpeg_read_header(&cinfo, TRUE);
  jpeg_calc_output_dimensions(&cinfo);
  return true;
}

bool readRows(jpeg_decompress_struct& cinfo, OracleErrors& errors, JSAMPLE* samples,
              std::size_t rowBytes) {
  if (setjmp(errors.jumpBack) != 0) return false;
  jpeg_start_decompress(&cinfo);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row[1] = {samples + rowBytes * cinfo.output_scanline};
    if (jpeg_read_scanlines(&cinfo, row, 1) != 1) return false;
  }
  return true;
}

bool finish(jpeg_decompress_struct& cinfo, OracleErrors& errors) {
  if (setjmp(errors.jumpBack) != 0) return false;
  jpeg_finish_decompress(&cinfo);
  return true;
}

}  // namespace

int jpegInputComponents(JpegColor color) {
  switch (color) {
    case JpegColor::Grey:
      return 1;
    case JpegColor::TwoComponents:
      return 2;
    case JpegColor::Rgb:
      return 3;
    case JpegColor::Cmyk:
    case JpegColor::Ycck:
      return 4;
  }
  return 0;
}

Bytes jpegTestSamples(const JpegEncoding& encoding) {
  const int components = jpegInputComponents(encoding.color);
  Bytes samples(static_cast<std::size_t>(encoding.width) *
                static_cast<std::size_t>(encoding.height) * static_cast<std::size_t>(components));
  std::uint32_t state = 12345;
  std::size_t i = 0;
  for (int row = 0; row < encoding.height; ++row) {
    for (int column = 0; column < encoding.width; ++column) {
      for (int k = 0; k < components; ++k) {
        if (encoding.noise) {
          state = state * 1103515245u + 12345u;
          samples[i++] = static_cast<std::uint8_t>(state >> 16);
        } else {
          samples[i++] = static_cast<std::uint8_t>((30 + 60 * k + 5 * row + 3 * column) % 256);
        }
      }
    }
  }
  return samples;
}

Bytes encodeJpeg(const JpegEncoding& encoding, const Bytes& samples) {
  jpeg_compress_struct cinfo{};
  OracleErrors errors{};
  setUpErrors(errors);
  cinfo.err = &errors.pub;
  MemoryDestination out;
  const bool done = compress(cinfo, errors, out, encoding, samples);
  jpeg_destroy_compress(&cinfo);
  return done ? takeOutput(out) : Bytes{};
}

Bytes encodeJpeg(const JpegEncoding& encoding) {
  return encodeJpeg(encoding, jpegTestSamples(encoding));
}

Bytes encodeJpegCutInsideScan(const JpegEncoding& encoding) {
  const Bytes whole = encodeJpeg(encoding);
  if (whole.size() < 8) return {};
  std::size_t scan = whole.size() - 4;  // the last start-of-scan marker
  while (scan > 2 && !(whole[scan] == 0xFF && whole[scan + 1] == 0xDA)) --scan;
  const std::size_t data = scan + 2 + (std::size_t{whole[scan + 2]} << 8 | whole[scan + 3]);
  const std::size_t end = whole.size() - 2;  // before the end-of-image marker
  return Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(data + (end - data) / 2));
}

Bytes encodeJpegTablesOnly() {
  jpeg_compress_struct cinfo{};
  OracleErrors errors{};
  setUpErrors(errors);
  cinfo.err = &errors.pub;
  MemoryDestination out;
  const bool done = compressTables(cinfo, errors, out);
  jpeg_destroy_compress(&cinfo);
  return done ? takeOutput(out) : Bytes{};
}

Bytes jpegReferenceRgb(const JpegReference& reference) {
  const auto components = static_cast<std::size_t>(reference.components);
  const std::size_t pixels =
      static_cast<std::size_t>(reference.width) * static_cast<std::size_t>(reference.height);
  Bytes rgb(pixels * 3);
  for (std::size_t i = 0; i < pixels && (i + 1) * components <= reference.samples.size(); ++i) {
    const std::uint8_t* sample = reference.samples.data() + i * components;
    for (std::size_t k = 0; k < 3; ++k) {
      if (components == 4) {
        rgb[3 * i + k] = static_cast<std::uint8_t>((sample[k] * sample[3] + 127) / 255);
      } else {
        rgb[3 * i + k] = sample[components == 1 ? 0 : k];
      }
    }
  }
  return rgb;
}

JpegReference decodeJpegReference(const Bytes& bytes, JpegSourceInstaller installSource) {
  jpeg_decompress_struct cinfo{};
  OracleErrors errors{};
  setUpErrors(errors);
  cinfo.err = &errors.pub;
  JpegReference result;
  if (readHeader(cinfo, errors, bytes, installSource)) {
    result.width = static_cast<int>(cinfo.output_width);
    result.height = static_cast<int>(cinfo.output_height);
    result.components = cinfo.output_components;
    const std::size_t rowBytes =
        std::size_t{cinfo.output_width} * static_cast<std::size_t>(cinfo.output_components);
    result.samples.resize(rowBytes * cinfo.output_height);
    result.rowsDecoded = readRows(cinfo, errors, result.samples.data(), rowBytes);
    if (result.rowsDecoded) result.finishFailed = !finish(cinfo, errors);
  }
  result.errorCode = errors.errorCode;
  result.warnings = errors.pub.num_warnings;
  jpeg_destroy_decompress(&cinfo);
  return result;
}
