// Traces a two-event chain through the libraries of a quorix subdirectory.
#include <iostream>

#include <quorix/render/trace_json.h>
#include <quorix/timeline/timeline.h>
#include <quorix/version.h>

int main() {
  quorix::Timeline timeline(8);
  quorix::TimelineEvent input;
  input.id = "input";
  timeline.append(input);
  quorix::TimelineEvent reply;
  reply.id = "reply";
  reply.parent = "input";
  timeline.append(reply);
  std::cout << "quorix " << quorix::kVersion << ' '
            << quorix::render_trace_json(timeline.build_causal_trace("reply")) << '\n';
}
