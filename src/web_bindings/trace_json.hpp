// A traced roll as JSON: the plain data of the Python Trace.to_dict(), key for key. This
// is the one place that knows the trace's shape on the browser side.
#pragma once

#include "calculator/roll_trace.hpp"
#include "types/dice_result.hpp"
#include "web_bindings/json_text.hpp"

namespace kavelo::web {

// {"result": {...}, "terms": [{"notation", "count", "sides", "faces": [{"value", "die",
// "origin", "fate", "by"}, ...], "values"}, ...]}
void write_trace(JsonText& out, const DiceResult& result, const RollTrace& trace);

}  // namespace kavelo::web
