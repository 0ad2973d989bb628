#include "app/guitexts.h"

#include <QCoreApplication>
#include <cstdarg>
#include <cstdio>

#include "dcp/records.h"
#include "dcp/texts.h"

namespace {

const char* const kContext = "GuiTexts";

QString translate(const char* source) {
    return QCoreApplication::translate(kContext, source);
}

// The bounded print; never writes past bufferSize.
int boundedPrint(char* buffer, size_t bufferSize, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(buffer, bufferSize, format, args);
    va_end(args);
    return written;
}

}  // namespace

int formatSize(char* buffer, size_t bufferSize, uint64_t bytes) {
    struct Unit {
        uint64_t above;
        uint64_t divisor;
        const char* format;
    };
    static const Unit units[] = {
        {1000000000000ull, 100000000000ull, "%d.%d TB"},
        {1000000000ull, 100000000ull, "%d.%d GB"},
        {1000000ull, 100000ull, "%d.%d MB"},
        {1000ull, 100ull, "%d.%d KB"},
    };
    for (const Unit& u : units) {
        if (bytes > u.above) {
            const uint64_t q = bytes / u.divisor;
            return boundedPrint(buffer, bufferSize, u.format, int(uint32_t(q / 10)),
                                int(uint32_t(q % 10)));
        }
    }
    return boundedPrint(buffer, bufferSize, "%d bytes", int(uint32_t(bytes)));
}

QString sizeText(uint64_t bytes) {
    char buffer[32] = {};
    formatSize(buffer, sizeof buffer, bytes);
    return QString::fromLatin1(buffer);
}

void formatGrouped(char* buffer, size_t bufferSize, uint64_t value, char marker) {
    if (!buffer || bufferSize == 0) {
        return;
    }
    size_t room = bufferSize;
    char* out = buffer;
    auto put = [&](char c) {
        *out++ = room == 2 ? marker : c;
        --room;
    };
    bool started = false;
    uint64_t divisor = 10000000000000000000ull;
    for (int p = 19; p >= 0 && room > 1; --p, divisor /= 10) {
        const unsigned digit = unsigned(value / divisor);
        value %= divisor;
        if (!started && digit == 0) {
            continue;
        }
        started = true;
        if (room >= 2) {
            put(char('0' + digit));
        }
        if (p != 0 && p % 3 == 0 && room >= 2) {
            put(',');
        }
    }
    if (!started && room >= 2) {
        put('0');
    }
    *out = '\0';
}

QString operationName(uint32_t code) {
    switch (code) {
        case corvane::dcp::TypeGetInfo:
            return translate("Get Device Information");
        case corvane::dcp::TypeGetDriveInfo:
            return translate("Get Drive Information");
        case corvane::dcp::TypeGetProgress:
            return translate("Get Progress");
        case corvane::dcp::TypeInitConfiguration:
        case corvane::dcp::TypeRebuild:
            return dcpText(corvane::dcp::operationText(code));
    }
    return dcpText(corvane::dcp::operationText(code));  // "Unknown"
}

QString operationWaitText(uint32_t code) {
    switch (code) {
        case corvane::dcp::TypeGetInfo:
            return translate("Getting device information... Please wait.");
        case corvane::dcp::TypeGetDriveInfo:
            return translate("Getting drive information... Please wait.");
        case corvane::dcp::TypeGetProgress:
            return translate("Getting progress... Please wait.");
        case corvane::dcp::TypeInitConfiguration:
            return translate("Initializing RAID... Please wait.");
        case corvane::dcp::TypeRebuild:
            return translate("Rebuilding RAID... Please wait.");
    }
    return dcpText(corvane::dcp::operationText(0));  // "Unknown"
}

QString timeLeftText(uint32_t seconds) {
    if (seconds < 60) {
        return translate("less than a minute left");
    }
    const uint32_t minutes = (seconds + 30) / 60;
    if (minutes < 60) {
        return translate("about %1 min left").arg(minutes);
    }
    if (minutes % 60 == 0) {
        return translate("about %1 h left").arg(minutes / 60);
    }
    return translate("about %1 h %2 min left").arg(minutes / 60).arg(minutes % 60);
}

QString phaseText(uint32_t phase) {
    return dcpText(corvane::dcp::phaseText(phase));
}

QString redText(const QString& text) {
    return QStringLiteral("<font color=\"red\">") + text + QStringLiteral("</font>");
}

QString boldRedText(const QString& text) {
    return QStringLiteral("<b>") + redText(text) + QStringLiteral("</b>");
}

QString greenText(const QString& text) {
    return QStringLiteral("<font color=\"green\">") + text + QStringLiteral("</font>");
}

QString dcpText(const char* source) {
    return source ? QCoreApplication::translate("corvane::dcp", source) : QString();
}
