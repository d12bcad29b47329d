// The per-file pipeline and the one table of a run's lines.

#include "app/file_pipeline.h"

#include <memory>

#include "app/output_names.h"
#include "app/run_limits.h"
#include "app/run_report.h"
#include "base/heap.h"
#include "base/row_sink.h"
#include "image/loader.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

// Writes the padded BMP of the picture through the existing device or FIFO at path.
FileOutcome writeInPlace(const char* path, const Image& picture, BmpRowStage& stage) noexcept {
  std::unique_ptr<std::FILE, FileCloser> file(openSpecialOutput(path));
  if (!file) return FileOutcome::cannotCreate;
  bool complete = writePaddedBmpStream(file.get(), picture, stage);
  complete = std::fclose(file.release()) == 0 && complete;
  return complete ? FileOutcome::converted : FileOutcome::cannotWrite;
}

FileOutcome outcomeOf(BmpWriteResult written) noexcept {
  switch (written) {
    case BmpWriteResult::written:
      return FileOutcome::converted;
    case BmpWriteResult::cannotCreate:
      return FileOutcome::cannotCreate;
    case BmpWriteResult::cannotWrite:
      break;
  }
  return FileOutcome::cannotWrite;
}

// The output stage of a decoded picture whose sides are in range.
FileOutcome writeOutput(const FileRequest& request, const Image& picture, BmpRowStage& stage,
                        TemporaryFile& temporary) noexcept {
  if (request.output == OutputKind::none) return FileOutcome::converted;
  if (!reserveBmpRowStage(stage, picture)) return FileOutcome::noMemory;
  switch (request.output) {
    case OutputKind::none:
      break;
    case OutputKind::temporary:
      if (request.makeParentFolders) createParentFolders(request.outputPath);
      return outcomeOf(writePaddedBmpTemporary(request.outputPath, picture, stage, temporary));
    case OutputKind::inPlace:
      return writeInPlace(request.outputPath, picture, stage);
    case OutputKind::stream:
      return writePaddedBmpStream(request.stream, picture, stage) ? FileOutcome::converted
                                                                  : FileOutcome::cannotWrite;
  }
  return FileOutcome::converted;
}

// True when the file's estimated peak passes the usable memory of the request (context).
bool beyondUsableMemory(std::uint64_t estimate, const void* context) noexcept {
  const FileRequest& request = *static_cast<const FileRequest*>(context);
  if (request.usableBytes != 0) return estimate > request.usableBytes;
  if (request.usableBytesSource == nullptr) return false;
  return estimate > kSurelyUsableBytes && estimate > request.usableBytesSource();
}

}  // namespace

FileResult processFile(const FileRequest& request, BmpRowStage& stage) noexcept {
  FileResult result;
  if (request.inputPath.length() == 0) {
    result.outcome = FileOutcome::noMemory;
    refuseForMemory(&result.decode);
    return result;
  }
  if (request.folderEntry && classifyEntry(request.inputPath.text()) == EntryKind::skip) {
    return result;
  }
  const unsigned long failuresBefore = heapFailureCount();
  LoadBound bound;
  if (request.usableBytes != 0 || request.usableBytesSource != nullptr) {
    bound.refuses = beyondUsableMemory;
    bound.context = &request;
  }
  // A temporary output may be written while the picture is decoded, when its reader decodes on
  // two threads. (Missing folders are made only for a decoded picture, so not then.)
  OverlappedBmpWriter overlapped(request.outputPath, stage, result.output);
  const bool overlap = request.output == OutputKind::temporary && !request.makeParentFolders;
  bool refused = false;
  ImagePtr image;
  {
    const RowSinkScope sink(overlap ? &overlapped : nullptr);
    image = loadImageFileWithin(request.inputPath, bound, refused, &result.decode, request.expand);
  }
  if (refused) {
    overlapped.abandon();
    result.outcome = FileOutcome::noMemory;
    refuseForMemory(&result.decode);
    return result;
  }
  if (!image) {
    overlapped.abandon();
    // A block this thread could not have is running out of memory, whatever the reader made of
    // it.
    if (heapFailureCount() != failuresBefore) result.decode.outOfMemory = true;
    result.outcome = FileOutcome::cannotLoad;
    return result;
  }
  result.width = image->width;
  result.height = image->height;
  result.channels = image->channels;
  if (!convertedSides(result.width, result.height)) {
    result.outcome = FileOutcome::badSize;
    return result;
  }
  if (overlapped.begun()) {
    result.outcome = outcomeOf(overlapped.finish());
    return result;
  }
  result.outcome = writeOutput(request, *image, stage, result.output);
  return result;
}

void commitOutput(FileResult& result, const char* outputPath) noexcept {
  if (result.outcome != FileOutcome::converted) return;
  result.outcome = outcomeOf(commitBmpFile(result.output, outputPath));
}

void reportOutcome(std::FILE* out, const FileResult& result, const char* inputPath,
                   const char* outputPath) noexcept {
  switch (result.outcome) {
    case FileOutcome::skipped:
      return;
    case FileOutcome::converted:
      report(out, "File %s generated OK, size: %ux%u/%u\n", outputPath, result.width, result.height,
             result.channels * 8);
      return;
    case FileOutcome::cannotLoad:
      report(out, "ERROR: Cannot load input image %s\n", inputPath);
      return;
    case FileOutcome::badSize:
      report(out, "ERROR: Width and height must be in range %u..%u pixels\n", kMinConvertedSide,
             kMaxConvertedSide);
      return;
    case FileOutcome::cannotCreate:
      report(out, "ERROR: cannot create output file %s\n", outputPath);
      return;
    case FileOutcome::cannotWrite:
      report(out, "ERROR: cannot write to %s\n", outputPath);
      return;
    case FileOutcome::noMemory:
      report(out, "%s", kMemoryLine);
      return;
  }
}
