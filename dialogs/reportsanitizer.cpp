#include "dialogs/reportsanitizer.h"

#include <QHash>
#include <QLatin1StringView>
#include <QStringList>
#include <algorithm>
#include <array>
#include <utility>
#include <vector>

using namespace reportlimits;

namespace {

enum Flag : unsigned {
    Void = 1u << 0,
    Block = 1u << 1,  // closes an open paragraph
    Table = 1u << 2,
    Section = 1u << 3,
    Row = 1u << 4,
    Cell = 1u << 5,
    ListItem = 1u << 6,
    DefItem = 1u << 7,
    List = 1u << 8,
    Anchor = 1u << 9,
    Scope = 1u << 10,  // a paragraph or list item inside stays inside
};

constexpr unsigned kTablePart = Section | Row | Cell;

struct Rule {
    const char* name;
    unsigned flags;
    const char* attributes;  // besides dir and style, each between blanks
};

// What the text engine shows and nothing that fetches: no img, link or object.
constexpr std::array<Rule, 48> kRules{{
    {"a", Anchor, " href name "},
    {"address", Block, ""},
    {"b", 0, ""},
    {"big", 0, ""},
    {"blockquote", Block | Scope, ""},
    {"br", Void, ""},
    {"center", Block | Scope, ""},
    {"cite", 0, ""},
    {"code", 0, ""},
    {"dd", Block | DefItem | Scope, ""},
    {"dfn", 0, ""},
    {"div", Block | Scope, " align "},
    {"dl", Block | List, ""},
    {"dt", Block | DefItem | Scope, ""},
    {"em", 0, ""},
    {"font", 0, " color size face "},
    {"h1", Block, " align "},
    {"h2", Block, " align "},
    {"h3", Block, " align "},
    {"h4", Block, " align "},
    {"h5", Block, " align "},
    {"h6", Block, " align "},
    {"hr", Block | Void, " width "},
    {"i", 0, ""},
    {"kbd", 0, ""},
    {"li", Block | ListItem | Scope, ""},
    {"nobr", 0, ""},
    {"ol", Block | List, " type start "},
    {"p", Block, " align "},
    {"pre", Block, ""},
    {"s", 0, ""},
    {"samp", 0, ""},
    {"small", 0, ""},
    {"span", 0, ""},
    {"strong", 0, ""},
    {"sub", 0, ""},
    {"sup", 0, ""},
    {"table", Block | Table | Scope, " border cellpadding cellspacing width height bgcolor align "},
    {"tbody", Section, " align valign "},
    {"td", Cell | Scope, " colspan rowspan width height bgcolor align valign nowrap "},
    {"tfoot", Section, " align valign "},
    {"th", Cell | Scope, " colspan rowspan width height bgcolor align valign nowrap "},
    {"thead", Section, " align valign "},
    {"tr", Row, " bgcolor align valign "},
    {"tt", 0, ""},
    {"u", 0, ""},
    {"ul", Block | List, " type "},
    {"var", 0, ""},
}};

bool oneOf(const QString& name, std::initializer_list<const char*> names) {
    return std::any_of(names.begin(), names.end(),
                       [&](const char* n) { return name == QLatin1StringView(n); });
}

// What a tag name stands for: a rule of the allow-list, or what leaving it out cuts.
struct Kind {
    int rule = -1;
    unsigned cut = SanitizedReport::Formatting;
    bool dropsContent = false;  // up to its end tag
};

const QHash<QString, Kind>& kinds() {
    static const QHash<QString, Kind> all = [] {
        QHash<QString, Kind> k;
        for (const char* name : {"img", "image", "picture", "video", "audio", "source", "track",
                                 "canvas", "map", "area"}) {
            k.insert(QLatin1StringView(name), {-1, SanitizedReport::Pictures, false});
        }
        for (const char* name : {"embed", "frame", "link", "meta", "base", "form", "input",
                                 "button", "option", "keygen", "param"}) {
            k.insert(QLatin1StringView(name), {-1, SanitizedReport::ActiveContent, false});
        }
        for (const char* name :
             {"script", "style", "iframe", "object", "applet", "noscript", "noembed", "noframes",
              "frameset", "template", "textarea", "select", "svg"}) {
            k.insert(QLatin1StringView(name), {-1, SanitizedReport::ActiveContent, true});
        }
        for (const char* name : {"math", "xmp"}) {
            k.insert(QLatin1StringView(name), {-1, SanitizedReport::Formatting, true});
        }
        for (size_t i = 0; i < kRules.size(); ++i) {
            k.insert(QLatin1StringView(kRules[i].name), {int(i), 0, false});
        }
        return k;
    }();
    return all;
}

int ruleOf(const QString& name) {
    return kinds().value(name).rule;
}

bool isSpace(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\f';
}

bool isAsciiLetter(QChar c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool isAsciiDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

bool isHexDigit(QChar c) {
    return isAsciiDigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

int hexValue(QChar c) {
    return isAsciiDigit(c) ? c.unicode() - u'0' : (c.unicode() | 0x20) - u'a' + 10;
}

bool allOf(const QString& s, int minLen, int maxLen, bool (*ok)(QChar)) {
    return s.size() >= minLen && s.size() <= maxLen && std::all_of(s.begin(), s.end(), ok);
}

bool isNameChar(QChar c) {
    return isAsciiLetter(c) || isAsciiDigit(c) || c == u'_' || c == u'-' || c == u'.' || c == u':';
}

bool isFaceChar(QChar c) {
    return isAsciiLetter(c) || isAsciiDigit(c) || c == u' ' || c == u',' || c == u'-' || c == u'_';
}

bool isColour(const QString& v) {
    if (v.startsWith(u'#')) {
        const QString hex = v.mid(1);
        return (hex.size() == 3 || hex.size() == 6) && allOf(hex, 1, 6, isHexDigit);
    }
    return allOf(v, 1, 20, isAsciiLetter);
}

bool isWeight(const QString& v) {
    return oneOf(v, {"normal", "bold", "bolder", "lighter"}) ||
           (v.size() == 3 && v[0] >= u'1' && v[0] <= u'9' && v.mid(1) == u"00");
}

struct Number {
    bool valid = false;
    long long value = 0;
    QChar sign;  // '+' or '-' when written
    bool percent = false;
};

// The leading number, as the text engine reads it; digits beyond any sane range are
// counted no further.
Number parseNumber(const QString& v) {
    Number n;
    int i = 0;
    while (i < v.size() && isSpace(v[i])) {
        ++i;
    }
    if (i < v.size() && (v[i] == u'+' || v[i] == u'-')) {
        n.sign = v[i++];
    }
    for (; i < v.size() && isAsciiDigit(v[i]); ++i) {
        n.valid = true;
        n.value = std::min(n.value * 10 + (v[i].unicode() - u'0'), 1000000000LL);
    }
    n.percent = i < v.size() && v[i] == u'%';
    if (n.sign == u'-') {
        n.value = -n.value;
    }
    return n;
}

class Sanitizer {
public:
    explicit Sanitizer(const QString& in) : in_(in), html_(out_.html) { html_.reserve(in.size()); }

    SanitizedReport run() {
        const int n = int(in_.size());
        while (pos_ < n && !full_) {
            const int lt = int(in_.indexOf(u'<', pos_));
            const int end = lt < 0 ? n : lt;
            if (end > pos_) {
                text(pos_, end);
                pos_ = end;
                continue;
            }
            markup();
        }
        closeAll();
        if (inHead_) {
            html_ += u"</head>";
            inHead_ = false;
        }
        out_.noticeAt = noticeAt_ < 0 ? int(html_.size()) : noticeAt_;
        return std::move(out_);
    }

private:
    using Attributes = std::vector<std::pair<QString, QString>>;

    void cut(unsigned what) { out_.cuts |= what; }

    bool overBudget() {
        if (html_.size() >= kMaxLength) {
            cut(SanitizedReport::Length);
            full_ = true;
        }
        return full_;
    }

    // The first content ends the head; the program's notice goes before it.
    void beginContent() {
        if (content_) {
            return;
        }
        content_ = true;
        if (inHead_) {
            html_ += u"</head>";
            inHead_ = false;
        }
        if (noticeAt_ < 0) {
            noticeAt_ = int(html_.size());
        }
    }

    // Text between tags. Entities the text engine resolves pass as written; a lone '&'
    // and stray brackets become text.
    void text(int from, int to) {
        bool blank = true;
        for (int i = from; i < to && blank; ++i) {
            blank = isSpace(in_[i]);
        }
        if (!blank) {
            beginContent();
        }
        appendText(html_, from, to, kMaxLength);
        overBudget();
    }

    void appendText(QString& out, int from, int to, int limit) {
        for (int i = from; i < to && out.size() < limit; ++i) {
            const QChar c = in_[i];
            if (c == u'&') {
                const int len = entityLength(i, to);
                if (len > 0) {
                    out += QStringView(in_).mid(i, len);
                    i += len - 1;
                } else if (len < 0) {
                    out += QChar(QChar::ReplacementCharacter);
                    i += -len - 1;
                } else {
                    out += u"&amp;";
                }
            } else if (c == u'<') {
                out += u"&lt;";
            } else if (c == u'>') {
                out += u"&gt;";
            } else if (c != QChar(0)) {
                out += c;
            }
        }
    }

    // Length of a well-formed entity at i; its negated length when it names no character;
    // 0 when the '&' starts none.
    int entityLength(int i, int to) const {
        int j = i + 1;
        if (j < to && in_[j] == u'#') {
            ++j;
            const bool hex = j < to && (in_[j] == u'x' || in_[j] == u'X');
            j += hex ? 1 : 0;
            const int digits = j;
            long long value = 0;
            for (; j < to && j - digits < 8 && (hex ? isHexDigit(in_[j]) : isAsciiDigit(in_[j]));
                 ++j) {
                value = value * (hex ? 16 : 10) + hexValue(in_[j]);
            }
            if (j == digits || j >= to || in_[j] != u';') {
                return 0;
            }
            const bool character =
                value > 0 && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF);
            return character ? j + 1 - i : -(j + 1 - i);
        }
        const int name = j;
        for (; j < to && j - name < 32 && (isAsciiLetter(in_[j]) || isAsciiDigit(in_[j])); ++j) {
        }
        if (j == name || !isAsciiLetter(in_[name]) || j >= to || in_[j] != u';') {
            return 0;
        }
        return j + 1 - i;
    }

    void markup() {
        if (++tags_ > kMaxTags) {
            cut(SanitizedReport::Length);
            full_ = true;
            return;
        }
        const int n = int(in_.size());
        const int next = pos_ + 1;
        if (QStringView(in_).mid(next, 3) == u"!--") {
            const int close = int(in_.indexOf(u"-->", next + 3));
            pos_ = close < 0 ? n : close + 3;
        } else if (next < n && (in_[next] == u'!' || in_[next] == u'?')) {
            skipPast(u'>');
        } else if (next + 1 < n && in_[next] == u'/' && isAsciiLetter(in_[next + 1])) {
            pos_ = next + 1;
            const QString name = tagName();
            if (skipPast(u'>')) {
                endTag(name);
            }
        } else if (next < n && isAsciiLetter(in_[next])) {
            pos_ = next;
            const QString name = tagName();
            Attributes attributes;
            if (readAttributes(attributes)) {
                startTag(name, attributes);
            }
        } else {
            beginContent();
            html_ += u"&lt;";
            pos_ = next;
            overBudget();
        }
    }

    // False at the end of the input: an unterminated tag is dropped.
    bool skipPast(QChar c) {
        const int at = int(in_.indexOf(c, pos_));
        pos_ = at < 0 ? int(in_.size()) : at + 1;
        return at >= 0;
    }

    QString tagName() {
        const int from = pos_;
        while (pos_ < in_.size() && !isSpace(in_[pos_]) && in_[pos_] != u'>' && in_[pos_] != u'/') {
            ++pos_;
        }
        return in_.mid(from, std::min(pos_ - from, 16)).toLower();
    }

    bool readAttributes(Attributes& attributes) {
        const int n = int(in_.size());
        for (;;) {
            while (pos_ < n && (isSpace(in_[pos_]) || in_[pos_] == u'/')) {
                ++pos_;
            }
            if (pos_ >= n) {
                return false;
            }
            if (in_[pos_] == u'>') {
                ++pos_;
                return true;
            }
            const int from = pos_;
            while (pos_ < n && !isSpace(in_[pos_]) && in_[pos_] != u'=' && in_[pos_] != u'>' &&
                   in_[pos_] != u'/') {
                ++pos_;
            }
            const QStringView name = QStringView(in_).mid(from, std::min(pos_ - from, 32));
            while (pos_ < n && isSpace(in_[pos_])) {
                ++pos_;
            }
            QStringView value;
            if (pos_ < n && in_[pos_] == u'=') {
                ++pos_;
                while (pos_ < n && isSpace(in_[pos_])) {
                    ++pos_;
                }
                if (pos_ < n && (in_[pos_] == u'"' || in_[pos_] == u'\'')) {
                    const int close = int(in_.indexOf(in_[pos_], pos_ + 1));
                    if (close < 0) {
                        pos_ = n;
                        return false;
                    }
                    value = QStringView(in_).mid(pos_ + 1, std::min(close - pos_ - 1, 256));
                    pos_ = close + 1;
                } else {
                    const int start = pos_;
                    while (pos_ < n && !isSpace(in_[pos_]) && in_[pos_] != u'>') {
                        ++pos_;
                    }
                    value = QStringView(in_).mid(start, std::min(pos_ - start, 256));
                }
            }
            // The first of a name counts, as in the text engine; a few are plenty.
            if (name.isEmpty() || attributes.size() >= 16) {
                continue;
            }
            const QString lower = name.toString().toLower();
            const bool seen = std::any_of(attributes.begin(), attributes.end(),
                                          [&](const auto& a) { return a.first == lower; });
            if (!seen) {
                attributes.emplace_back(lower, value.trimmed().toString());
            }
        }
    }

    void startTag(const QString& name, const Attributes& attributes) {
        // The frame of the document passes as written, once and in its place.
        if (name == u"html") {
            if (html_.isEmpty()) {
                html_ += u"<html>";
                htmlOpen_ = true;
            }
            return;
        }
        if (name == u"head") {
            if (!content_ && !headSeen_) {
                headSeen_ = inHead_ = true;
                html_ += u"<head>";
            }
            return;
        }
        if (name == u"title") {
            const bool keep = !content_ && !titleSeen_;
            titleSeen_ = true;
            rawText(name, keep);
            return;
        }
        if (name == u"body") {
            if (!content_ && !bodyOpen_) {
                if (inHead_) {
                    html_ += u"</head>";
                    inHead_ = false;
                }
                bodyOpen_ = true;
                html_ += QStringLiteral("<body") + filterAttributes(" bgcolor ", attributes) + u'>';
                noticeAt_ = int(html_.size());
            }
            return;
        }
        const Kind kind = kinds().value(name);
        if (kind.rule < 0) {
            cut(kind.cut);
            if (kind.dropsContent) {
                rawText(name, false);
            }
            return;
        }
        const int rule = kind.rule;
        beginContent();
        const unsigned flags = kRules[size_t(rule)].flags;
        if (ghostTables_ > 0 && (flags & (Table | kTablePart))) {
            // Inside a table too deep to keep: its cells stay apart as text.
            if (flags & (Row | Cell)) {
                separate((flags & Row) ? u"<br>" : u" ");
            }
            ghostTables_ += (flags & Table) ? 1 : 0;
            return;
        }
        if ((flags & kTablePart) && tableDepth_ == 0) {
            cut(SanitizedReport::Formatting);
            return;
        }
        closeImplied(flags);
        const bool tooDeep =
            (flags & Table) ? (tableDepth_ >= kMaxTableDepth || int(stack_.size()) + 4 > kMaxDepth)
                            : (!(flags & Void) && int(stack_.size()) >= kMaxDepth);
        if (tooDeep) {
            cut(SanitizedReport::Nesting);
            if (flags & Table) {
                ++ghostTables_;
            } else {
                ++ghosts_[size_t(rule)];
            }
            return;
        }
        // Blocks and cells cost the layout most, and twice as much at each level of tables.
        const bool costly = (flags & (Block | Cell)) || rule == lineBreak();
        if (elements_ >= kMaxElements || (costly && layout_ + layoutWeight() > kMaxLayout)) {
            cut(SanitizedReport::Length);
            full_ = true;
            return;
        }
        ++elements_;
        layout_ += costly ? layoutWeight() : 0;
        html_ += u'<' + name + filterAttributes(kRules[size_t(rule)].attributes, attributes) + u'>';
        if (!(flags & Void)) {
            stack_.push_back(rule);
            tableDepth_ += (flags & Table) ? 1 : 0;
        }
        overBudget();
    }

    int layoutWeight() const { return 1 << std::max(0, tableDepth_ - 1); }

    static int lineBreak() {
        static const int br = ruleOf(QStringLiteral("br"));
        return br;
    }

    // A break for the cells of a table left out, unless one stands there already.
    void separate(QStringView separator) {
        if (lastSeparator_ == html_.size()) {
            return;
        }
        if (layout_ + layoutWeight() > kMaxLayout) {
            cut(SanitizedReport::Length);
            full_ = true;
            return;
        }
        layout_ += layoutWeight();
        html_ += separator;
        lastSeparator_ = html_.size();
        overBudget();
    }

    void endTag(const QString& name) {
        if (name == u"head") {
            if (inHead_) {
                html_ += u"</head>";
                inHead_ = false;
            }
            return;
        }
        if (name == u"body" || name == u"html") {
            closeAll();
            bool& open = name == u"body" ? bodyOpen_ : htmlOpen_;
            if (open) {
                html_ += QStringLiteral("</%1>").arg(name);
                open = false;
            }
            return;
        }
        const int rule = ruleOf(name);
        if (rule < 0) {
            return;
        }
        const unsigned flags = kRules[size_t(rule)].flags;
        if (flags & Void) {
            return;
        }
        if (ghostTables_ > 0 && (flags & (Table | kTablePart))) {
            ghostTables_ -= (flags & Table) ? 1 : 0;
            return;
        }
        if (ghosts_[size_t(rule)] > 0) {
            --ghosts_[size_t(rule)];
            return;
        }
        const unsigned stopAt = (flags & Table) ? 0 : (flags & kTablePart) ? Table : Table | Cell;
        closeTo(rule, stopAt);
    }

    void closeAll() {
        while (!stack_.empty()) {
            pop();
        }
    }

    // An element the text engine would close by itself when this one starts.
    void closeImplied(unsigned flags) {
        if (flags & Cell) {
            closeKind(Cell, Row | Section | Table);
        } else if (flags & Row) {
            closeKind(Row, Section | Table);
        } else if (flags & Section) {
            closeKind(Section, Table);
        } else if (flags & ListItem) {
            closeKind(ListItem, List | Table | Cell);
        } else if (flags & DefItem) {
            closeKind(DefItem, List | Table | Cell);
        } else if (flags & Anchor) {
            closeKind(Anchor, Table | Cell);
        }
        if (flags & Block) {
            static const int paragraph = ruleOf(QStringLiteral("p"));
            closeTo(paragraph, Scope);
        }
    }

    // Closes down to the innermost open element with one of `kind`'s flags, unless one
    // with a `stopAt` flag comes first.
    void closeKind(unsigned kind, unsigned stopAt) {
        for (size_t i = stack_.size(); i-- > 0;) {
            const unsigned f = kRules[size_t(stack_[i])].flags;
            if (f & kind) {
                popTo(i);
                return;
            }
            if (f & stopAt) {
                return;
            }
        }
    }

    // The same for one element.
    void closeTo(int rule, unsigned stopAt) {
        for (size_t i = stack_.size(); i-- > 0;) {
            if (stack_[i] == rule) {
                popTo(i);
                return;
            }
            if (kRules[size_t(stack_[i])].flags & stopAt) {
                return;
            }
        }
    }

    void popTo(size_t index) {
        while (stack_.size() > index) {
            pop();
        }
    }

    void pop() {
        const Rule& rule = kRules[size_t(stack_.back())];
        stack_.pop_back();
        tableDepth_ -= (rule.flags & Table) ? 1 : 0;
        html_ += QLatin1StringView("</") + QLatin1StringView(rule.name) + u'>';
    }

    // Content up to the element's end tag; kept only as the title.
    void rawText(const QString& name, bool asTitle) {
        const int close = int(in_.indexOf(QStringLiteral("</") + name, pos_, Qt::CaseInsensitive));
        const int end = close < 0 ? int(in_.size()) : close;
        if (asTitle) {
            QString title;
            appendText(title, pos_, end, 256);
            html_ += QStringLiteral("<title>") + title + QStringLiteral("</title>");
        }
        pos_ = end;
        if (close >= 0) {
            skipPast(u'>');
        }
    }

    QString filterAttributes(const char* allowed, const Attributes& attributes) {
        QString kept;
        const QLatin1StringView allowList(allowed);
        for (const auto& [name, value] : attributes) {
            if (name.startsWith(u"on")) {
                cut(SanitizedReport::ActiveContent);
                continue;
            }
            if (name == u"style") {
                const QString style = reduceStyle(value);
                if (!style.isEmpty()) {
                    kept += QStringLiteral(" style=\"%1\"").arg(style);
                }
                continue;
            }
            if (name == u"dir" && oneOf(value.toLower(), {"ltr", "rtl"})) {
                kept += QStringLiteral(" dir=\"%1\"").arg(value.toLower());
                continue;
            }
            if (!allowList.contains(u' ' + name + u' ')) {
                if (oneOf(name, {"src", "background", "srcset", "poster", "lowsrc"})) {
                    cut(SanitizedReport::Pictures);
                } else if (name == u"href") {
                    cut(SanitizedReport::Links);
                }
                continue;
            }
            const QString v = checkedValue(name, value);
            if (v.isNull()) {
                cut(name == u"href" ? SanitizedReport::Links : SanitizedReport::Formatting);
            } else if (name == u"nowrap") {
                kept += QStringLiteral(" nowrap");
            } else {
                kept += QStringLiteral(" %1=\"%2\"").arg(name, v);
            }
        }
        return kept;
    }

    // The value to write, brought into range; null when it goes.
    QString checkedValue(const QString& name, const QString& value) {
        if (name == u"href") {
            // Only places inside the report: nothing remote, no script, no local files.
            return value.startsWith(u'#') && allOf(value.mid(1), 1, 64, isNameChar) ? value
                                                                                    : QString();
        }
        if (name == u"name") {
            return allOf(value, 1, 64, isNameChar) ? value : QString();
        }
        if (name == u"color" || name == u"bgcolor") {
            return isColour(value) ? value : QString();
        }
        if (name == u"face") {
            return allOf(value, 1, 64, isFaceChar) ? value : QString();
        }
        if (name == u"nowrap") {
            return QStringLiteral("");
        }
        const QString lower = value.toLower();
        if (name == u"align") {
            return oneOf(lower, {"left", "right", "center", "justify"}) ? lower : QString();
        }
        if (name == u"valign") {
            return oneOf(lower, {"top", "middle", "bottom", "baseline"}) ? lower : QString();
        }
        if (name == u"type") {
            return oneOf(value, {"1", "a", "A", "i", "I", "disc", "circle", "square"}) ? value
                                                                                       : QString();
        }
        const Number n = parseNumber(value);
        if (!n.valid) {
            return QString();
        }
        if (name == u"size") {
            return n.sign.isNull()
                       ? number(n.value, 1, 7)
                       : (n.value < 0 ? QString() : QStringLiteral("+")) + number(n.value, -6, 6);
        }
        if (n.sign == u'-') {
            return QString();
        }
        if (name == u"width" || name == u"height") {
            return n.percent ? number(n.value, 0, 100) + u'%' : number(n.value, 0, 4000);
        }
        if (name == u"border") {
            return number(n.value, 0, 8);
        }
        if (name == u"cellpadding" || name == u"cellspacing") {
            return number(n.value, 0, 32);
        }
        if (name == u"colspan" || name == u"rowspan") {
            return number(n.value, 1, 64);
        }
        if (name == u"start") {
            return number(n.value, 0, 100000);
        }
        return QString();
    }

    QString number(long long value, long long low, long long high) {
        if (value < low || value > high) {
            cut(SanitizedReport::Sizes);
        }
        return QString::number(std::clamp(value, low, high));
    }

    // Colours, weight, slant and underline; the rest, sizes and addresses above all, goes.
    QString reduceStyle(const QString& style) {
        QStringList kept;
        for (const QString& declaration : style.split(u';', Qt::SkipEmptyParts)) {
            const qsizetype colon = declaration.indexOf(u':');
            const QString property = declaration.left(colon).trimmed().toLower();
            const QString value = declaration.mid(colon + 1).trimmed().toLower();
            const bool ok =
                colon > 0 &&
                (((property == u"color" || property == u"background-color") && isColour(value)) ||
                 (property == u"font-weight" && isWeight(value)) ||
                 (property == u"font-style" && oneOf(value, {"normal", "italic", "oblique"})) ||
                 (property == u"text-decoration" &&
                  oneOf(value, {"none", "underline", "line-through", "overline"})));
            if (ok) {
                kept << property + u':' + value;
            } else if (!declaration.trimmed().isEmpty()) {
                cut(value.contains(u"url") ? SanitizedReport::Pictures
                                           : SanitizedReport::Formatting);
            }
        }
        return kept.join(QStringLiteral("; "));
    }

    const QString& in_;
    int pos_ = 0;
    SanitizedReport out_;
    QString& html_;
    std::vector<int> stack_;
    std::array<int, kRules.size()> ghosts_{};  // elements left out for depth, still open
    int ghostTables_ = 0;
    int tableDepth_ = 0;
    int elements_ = 0;
    int layout_ = 0;
    int tags_ = 0;
    int noticeAt_ = -1;
    qsizetype lastSeparator_ = -1;
    bool htmlOpen_ = false;
    bool headSeen_ = false;
    bool inHead_ = false;
    bool titleSeen_ = false;
    bool bodyOpen_ = false;
    bool content_ = false;
    bool full_ = false;
};

}  // namespace

QString SanitizedReport::withNotice(const QString& notice) const {
    return notice.isEmpty() ? html : html.left(noticeAt) + notice + html.mid(noticeAt);
}

SanitizedReport sanitizeReport(const QString& deviceHtml) {
    return Sanitizer(deviceHtml).run();
}
