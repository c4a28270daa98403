// What one event caused, as one compact, deterministic JSON document.
//
//   std::string json = quorix::render_effects_json(timeline.build_causal_effects("input"));
//   // {"schema":"quorix-causal-effects/1","root_id":"input","status":"complete","events":[...]}
//
// The document is built like a trace's (see trace_json.h): members `schema`,
// `root_id`, `status` (by name) and `events`, in this order, no whitespace
// outside strings, no line end, strings quoted as json_quote does and
// numbers as plain decimals. Each event is the trace document's event object
// with one more member, `depth`, placed where its key sorts (right after
// `clock_domain`), so the keys stay in ascending byte order. The events come
// in the order of CausalEffects::events; an event's `cause` is not written,
// as the event's `parent` and `depth` show where it hangs. The text depends
// on nothing but the effects.
#ifndef QUORIX_RENDER_EFFECTS_JSON_H_
#define QUORIX_RENDER_EFFECTS_JSON_H_

#include <string>

#include <quorix/timeline/causal_effects.h>

namespace quorix {

// The JSON document of `effects`. Renders every value; never throws but for
// allocation failure. Cost: linear in the document, built in one buffer
// (an event holding a quote or backslash is written twice).
std::string render_effects_json(const CausalEffects& effects);

}  // namespace quorix

#endif  // QUORIX_RENDER_EFFECTS_JSON_H_
