#pragma once

#include <QString>

namespace sondrel {

// The reason shown for a reason code of a failed link open, e.g.
// 31 -> "There is no application associated\nwith the given filename extension."
QString openErrorReason(int code);

// True when the code has a text of its own rather than "Unknown Error (%d) occurred.".
bool hasKnownReason(int code);

// The whole message of the error box: "Unable to open hyperlink:\n\n" and the reason.
QString openErrorMessage(int code);

}  // namespace sondrel
