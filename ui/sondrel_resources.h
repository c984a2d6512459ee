#pragma once

#include <QIcon>
#include <QPixmap>

namespace sondrel {

// Registers the pictures compiled into the static resource library. A static
// library's resources are dropped by the linker unless something names their
// initialiser, so every user of the pictures below goes through here first;
// calling it more than once is harmless.
void initSondrelResources();

// Window, About box and notification-area icon.
QIcon mainIcon();
// Row icon of an application whose executable has no icon of its own.
QIcon genericAppIcon();
// Row icon of the protocol pseudo-applications ("ICMP protocol" and the like).
QIcon protocolIcon();
// The 546 x 258 picture shown while the program starts.
QPixmap splashPicture();

}  // namespace sondrel
