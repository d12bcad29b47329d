// One file per call. The steps and messages are a batch run's for one entry, with the output
// named by the caller; with "-" the BMP goes to standard output.
//
// The output is put in place as a batch puts it: written under a temporary name beside it and
// renamed over it, its missing folders made first, as a batch makes bmp/. Only a regular file, or
// nothing, is replaced that way: a device or FIFO named as output is written in place (a rename
// would put a regular file in its place), and a folder is refused. An output that is the input
// itself, by any name, is refused before anything is read, so the picture is never lost.

#include "app/single_file.h"

#include <cstring>

#include "app/file_pipeline.h"
#include "app/output_names.h"
#include "app/run_limits.h"
#include "app/run_report.h"
#include "base/counted_string.h"
#include "base/platform.h"

namespace {

constexpr const char* kStandardOutput = "-";

}  // namespace

int convertSingleFile(const char* input, const char* output, std::FILE* messages, std::FILE* stream,
                      bool expand) noexcept {
  const bool toStream = std::strcmp(output, kStandardOutput) == 0;
  const OutputTarget target = toStream ? OutputTarget::special : classifyOutput(output);
  FileResult result;
  if (target == OutputTarget::folder) {
    result.outcome = FileOutcome::cannotCreate;
  } else if (identifyFile(input).sameAs(toStream ? identifyStream(stream) : identifyFile(output))) {
    report(messages, "ERROR: output %s is the input file %s itself\n", output, input);
    return 1;
  } else {
    FileRequest request;
    request.inputPath = CountedString::fromText(input);
    if (request.inputPath.length() != static_cast<std::int64_t>(std::strlen(input))) {
      request.inputPath = CountedString();
    }
    request.output = toStream                          ? OutputKind::stream
                     : target == OutputTarget::special ? OutputKind::inPlace
                                                       : OutputKind::temporary;
    request.outputPath = output;
    request.makeParentFolders = target == OutputTarget::absent;
    request.stream = stream;
    request.usableBytesSource = usableMemoryBytes;
    request.expand = expand;
    BmpRowStage stage;
    result = processFile(request, stage);
    if (request.output == OutputKind::temporary) commitOutput(result, output);
    reportWarnings(stderr, result.decode);  // where the library's own output would have gone
  }
  reportOutcome(messages, result, input, output);
  return result.outcome == FileOutcome::converted ? 0 : 1;
}
