#include "widgets/tcontrast.h"

#include <algorithm>
#include <cmath>

namespace {

double channel(double c) {
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(const QColor& c) {
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

QColor withLightness(const QColor& meant, double lightness) {
    // Through 8-bit channels, as it will be painted, so the ratio is checked on what shows.
    return QColor(QColor::fromHslF(meant.hslHueF(), meant.hslSaturationF(), lightness).rgb());
}

}  // namespace

double contrastRatio(const QColor& a, const QColor& b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor readableOn(const QColor& meant, const QColor& background) {
    if (contrastRatio(meant, background) >= kReadableContrast)
        return meant;
    const bool lighten =
        contrastRatio(Qt::white, background) > contrastRatio(Qt::black, background);
    double reads = lighten ? 1.0 : 0.0;  // white or black: the best there is
    double fails = meant.lightnessF();
    // The ratio grows steadily with the distance from the meant lightness.
    for (int i = 0; i < 20; ++i) {
        const double mid = (reads + fails) / 2;
        (contrastRatio(withLightness(meant, mid), background) >= kReadableContrast ? reads
                                                                                   : fails) = mid;
    }
    return withLightness(meant, reads);
}
