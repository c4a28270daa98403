// Where an export's text goes: a callable that receives it in pieces.
#ifndef QUORIX_EXPORT_EXPORT_SINK_H_
#define QUORIX_EXPORT_EXPORT_SINK_H_

#include <functional>
#include <string_view>

namespace quorix {

// Receives an export's text in pieces, in order; a piece is valid only during
// the call. What it throws propagates out of the writer, which then stops.
using ExportSink = std::function<void(std::string_view)>;

}  // namespace quorix

#endif  // QUORIX_EXPORT_EXPORT_SINK_H_
