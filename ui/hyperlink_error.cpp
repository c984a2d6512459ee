#include "ui/hyperlink_error.h"

#include <array>
#include <string_view>

namespace sondrel {
namespace {

struct Reason {
    int code;
    std::string_view text;
};

constexpr std::array<Reason, 13> kReasons{{
    {0, "The operating system is out\nof memory or resources."},
    {2, "The specified file was not found."},
    {3, "The specified path was not found."},
    {5, "The operating system denied\naccess to the specified file."},
    {8, "There was not enough memory to complete the operation."},
    {11, "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image)."},
    {26, "A sharing violation occurred. "},
    {27, "The filename association is\nincomplete or invalid."},
    {28, "The DDE transaction could not\nbe completed because the request timed out."},
    {29, "The DDE transaction failed."},
    {30, "The DDE transaction could not\nbe completed because other DDE transactions\nwere being processed."},
    {31, "There is no application associated\nwith the given filename extension."},
    {32, "The specified dynamic-link library was not found."},
}};

const Reason* findReason(int code)
{
    for (const Reason& reason : kReasons) {
        if (reason.code == code) {
            return &reason;
        }
    }
    return nullptr;
}

}  // namespace

bool hasKnownReason(int code)
{
    return findReason(code) != nullptr;
}

QString openErrorReason(int code)
{
    if (const Reason* reason = findReason(code)) {
        return QString::fromLatin1(reason->text.data(), static_cast<qsizetype>(reason->text.size()));
    }
    return QStringLiteral("Unknown Error (%1) occurred.").arg(code);
}

QString openErrorMessage(int code)
{
    return QStringLiteral("Unable to open hyperlink:\n\n") + openErrorReason(code);
}

}  // namespace sondrel
