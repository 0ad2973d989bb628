#pragma once

#include <QColor>

// Words that carry meaning by colour (red, green) must stay readable on whatever
// background the palette in effect gives them, light or dark.

// The least contrast a status word keeps against its background (WCAG 2, normal text).
constexpr double kReadableContrast = 4.5;

// WCAG 2 contrast ratio of two opaque colours: 1 (same luminance) to 21.
double contrastRatio(const QColor& a, const QColor& b);

// The shade of `meant` nearest to it, same hue and saturation, that keeps
// kReadableContrast against `background`: lighter on a dark background, darker on a
// light one; `meant` itself when it already reads.
QColor readableOn(const QColor& meant, const QColor& background);
