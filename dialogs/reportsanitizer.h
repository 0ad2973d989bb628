#pragma once

#include <QString>

// A status report is HTML made by the device, so it is untrusted: the text engine lays
// nested tables out in exponential time and takes huge attribute values at their word,
// and an exported copy is later opened in a browser. This reduces it to a small, bounded
// subset (text structure, lists, tables a few levels deep, fonts and colours) that loads
// nothing, runs nothing and links nowhere but inside itself. Linear in the input.
struct SanitizedReport {
    // What had to go, for a line that says so.
    enum Cut : unsigned {
        ActiveContent = 1u << 0,  // scripts, style sheets, frames, objects, forms, handlers
        Pictures = 1u << 1,
        Links = 1u << 2,       // links that lead out of the report
        Nesting = 1u << 3,     // levels beyond the bound
        Sizes = 1u << 4,       // numbers brought into range
        Length = 1u << 5,      // the end of an overlong report
        Formatting = 1u << 6,  // unknown elements, style properties
    };

    QString html;
    int noticeAt = 0;  // where the body's content starts
    unsigned cuts = 0;

    // The html with `notice`, HTML of the program's own, before the body's content.
    QString withNotice(const QString& notice) const;
};

namespace reportlimits {
constexpr int kMaxDepth = 24;       // open elements at once
constexpr int kMaxTableDepth = 3;   // tables inside tables
constexpr int kMaxElements = 2000;  // start tags kept
// Blocks, cells and line breaks kept, each counted twice for every table it sits in beyond
// the first: the text engine's layout is slow per block, and slower per table level.
constexpr int kMaxLayout = 250;
constexpr int kMaxTags = 16384;  // tags read, kept or not
constexpr int kMaxLength = 32 * 1024;
}  // namespace reportlimits

SanitizedReport sanitizeReport(const QString& deviceHtml);
