// The row sink of each thread.

#include "base/row_sink.h"

namespace {

thread_local RowSink* threadSink = nullptr;

}  // namespace

RowSink* currentRowSink() noexcept { return threadSink; }

RowSinkScope::RowSinkScope(RowSink* sink) noexcept : before_(threadSink) { threadSink = sink; }

RowSinkScope::~RowSinkScope() { threadSink = before_; }
