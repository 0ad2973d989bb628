#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

// The compiled-in pictures: ":/<model text>" for each device model (175 x 100), ":/warning"
// (32 x 32), ":/splash_screen" (626 x 437), each also as ":/<name>@2x" at twice the size,
// and the application icon ":/drivelore-48.png", ":/drivelore-256.png".
//
// Link drl_resources and call drlResourcesInit() once, in main(), before the first picture
// is loaded. The resource data registers itself when the program
// starts; the call makes that explicit and keeps working if the data ever moves into an
// archive the linker could otherwise skip. Calling it again does no harm.
void drlResourcesInit();

// The picture ":/<name>" for a screen of the given device pixel ratio: the 2x rendering when
// the ratio exceeds 1, with its ratio set, so that its logical size is that of the 1x
// picture. A null pixmap when there is no such picture.
QPixmap drlPixmap(const QString& name, qreal devicePixelRatio);

// The application icon at 48 and 256 px, for QApplication::setWindowIcon.
QIcon drlAppIcon();
