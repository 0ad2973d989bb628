#include "widgets/tdelegate.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionProgressBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <QVector>

#include "widgets/tcellitems.h"
#include "widgets/tcontrast.h"

namespace {

constexpr int kBarHeight = 21;
constexpr int kTextMargin = 4;
const QSize kIconSize(16, 16);
// Qt::AlignVCenter | Qt::AlignJustify: how cell texts are measured.
constexpr int kMeasureFlags = 0x88;
const QChar kEllipsis(0x2026);

QSize textSize(const QStyleOptionViewItem& option, const QString& text) {
    return QFontMetrics(option.font).size(kMeasureFlags, text);
}

QPalette::ColorGroup colorGroup(const QStyleOptionViewItem& option) {
    if (!(option.state & QStyle::State_Enabled))
        return QPalette::Disabled;
    return option.state & QStyle::State_Active ? QPalette::Active : QPalette::Inactive;
}

void fillSelection(QPainter* painter, const QStyleOptionViewItem& option) {
    if (!(option.state & QStyle::State_Selected))
        return;
    painter->fillRect(option.rect, option.palette.brush(colorGroup(option), QPalette::Highlight));
}

QString percentText(qint32 progress, qint32 maximum) {
    // A zero maximum says nothing about progress; like QProgressBar, show no text.
    if (maximum == 0)
        return QString();
    return QString::asprintf("%.1f%%", progress * 100.0 / maximum);
}

void drawBar(QPainter* painter, const QStyleOptionViewItem& option, const QRect& rect,
             qint32 progress, qint32 maximum) {
    QStyleOptionProgressBar bar;
    bar.rect = rect;
    bar.minimum = 0;
    bar.maximum = maximum;
    bar.progress = progress;
    bar.textVisible = true;
    bar.textAlignment = Qt::AlignHCenter;
    bar.text = percentText(progress, maximum);
    bar.palette = option.palette;
    // Qt 6 styles take the orientation from the state; cell bars are horizontal.
    bar.state = option.state | QStyle::State_Horizontal;
    QApplication::style()->drawControl(QStyle::CE_ProgressBar, &bar, painter);
}

// Rich text with line breaks; lines too wide for the rectangle end in an ellipsis.
void drawRichText(QPainter* painter, const QStyleOptionViewItem& option, const QString& text,
                  const QRect& rect) {
    QString html = text;
    html.replace(QLatin1Char('\n'), QLatin1String("<br />"));
    const QRect textRect = rect.adjusted(kTextMargin, 0, -kTextMargin, 0);

    QTextOption textOption;
    textOption.setWrapMode(QTextOption::WordWrap);
    textOption.setTextDirection(option.direction);
    textOption.setAlignment(QStyle::visualAlignment(option.direction, option.displayAlignment));
    QTextDocument doc;
    doc.setDefaultTextOption(textOption);
    doc.setDocumentMargin(0);
    doc.setTextWidth(textRect.width());
    doc.setHtml(html);

    const QSizeF fitted = doc.size();
    if (fitted.width() > textRect.width() || fitted.height() > textRect.height()) {
        doc.setTextWidth(-1);
        struct Cut {
            int from;
            int to;
        };
        QVector<Cut> cuts;
        for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
            const QTextLayout* layout = block.layout();
            for (int i = 0; i < layout->lineCount(); ++i) {
                const QTextLine line = layout->lineAt(i);
                if (line.x() + line.naturalTextWidth() <= textRect.width())
                    continue;
                int end = line.textStart() + line.textLength();
                // A <br /> stays with its line so the next line keeps starting on its own.
                if (end > line.textStart() && block.text().at(end - 1) == QChar::LineSeparator)
                    --end;
                // The ellipsis must fit in front of the edge, or the clip would eat it.
                QTextCursor at(&doc);
                at.setPosition(block.position() + line.textStart());
                const qreal cutX = textRect.width() - 2 -
                                   QFontMetricsF(at.charFormat().font().resolve(doc.defaultFont()))
                                       .horizontalAdvance(kEllipsis);
                int from = line.xToCursor(cutX);
                while (from > line.textStart() && line.cursorToX(from) > cutX)
                    from = layout->previousCursorPosition(from);
                cuts.append({block.position() + from, block.position() + std::max(from, end)});
            }
        }
        // Back to front, so earlier positions stay valid while later lines shrink.
        QTextCursor cursor(&doc);
        for (int i = int(cuts.size()) - 1; i >= 0; --i) {
            cursor.setPosition(cuts.at(i).from);
            cursor.setPosition(cuts.at(i).to, QTextCursor::KeepAnchor);
            cursor.insertText(QString(kEllipsis));
        }
    }

    if (!(option.state & QStyle::State_Selected)) {
        // Markup names its colours ("red", "green") for light backgrounds; on the cell's
        // own background each keeps its hue in a shade that still reads.
        const QColor back = option.palette.color(colorGroup(option),
                                                 option.features & QStyleOptionViewItem::Alternate
                                                     ? QPalette::AlternateBase
                                                     : QPalette::Base);
        struct Ink {
            int from, to;
            QColor shade;
        };
        QVector<Ink> inks;
        for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
            for (auto it = block.begin(); !it.atEnd(); ++it) {
                const QTextFragment fragment = it.fragment();
                const QTextCharFormat format = fragment.charFormat();
                if (!format.hasProperty(QTextFormat::ForegroundBrush))
                    continue;
                const QColor meant = format.foreground().color();
                const QColor shade = readableOn(meant, back);
                if (shade != meant)
                    inks.append(
                        {fragment.position(), fragment.position() + fragment.length(), shade});
            }
        }
        // Merging splits fragments: only after the walk.
        QTextCursor range(&doc);
        for (const Ink& ink : inks) {
            range.setPosition(ink.from);
            range.setPosition(ink.to, QTextCursor::KeepAnchor);
            QTextCharFormat format;
            format.setForeground(ink.shade);
            range.mergeCharFormat(format);
        }
    } else {
        // The selection colour may be fixed and light: red or green words on it are hard to
        // read, so a selected cell shows all its words in the one colour that stands out
        // most from it. Bold and the words themselves still carry the warning.
        const QColor back = option.palette.color(QPalette::Highlight);
        const QColor dark = option.palette.color(QPalette::Text).lightness() < 128
                                ? option.palette.color(QPalette::Text)
                                : option.palette.color(QPalette::Base);
        const QColor light = dark == option.palette.color(QPalette::Text)
                                 ? option.palette.color(QPalette::Base)
                                 : option.palette.color(QPalette::Text);
        QTextCharFormat ink;
        ink.setForeground(back.lightness() >= 128 ? dark : light);
        QTextCursor all(&doc);
        all.select(QTextCursor::Document);
        all.mergeCharFormat(ink);
    }

    const QRect target = QStyle::alignedRect(option.direction, option.displayAlignment,
                                             doc.size().toSize(), textRect)
                             .intersected(textRect);
    painter->save();
    painter->translate(target.topLeft());
    painter->setClipRect(QRect(QPoint(0, 0), target.size()));
    doc.drawContents(painter);
    painter->restore();
}

void paintProgressbar(QPainter* painter, const QStyleOptionViewItem& option,
                      const TProgressbarItem& item) {
    fillSelection(painter, option);
    QRect bar = option.rect;
    if (bar.height() > kBarHeight) {
        bar.moveTop(bar.top() + (bar.height() - kBarHeight) / 2);
        bar.setHeight(kBarHeight);
    }
    drawBar(painter, option, bar, item.progress, item.maximum);
}

void paintPixmap(QPainter* painter, const QStyleOptionViewItem& option, const TPixmapItem& item) {
    fillSelection(painter, option);
    QIcon(item.pixmap()).paint(painter, option.rect, Qt::AlignCenter, QIcon::Normal, QIcon::Off);
}

void paintString(QPainter* painter, const QStyleOptionViewItem& option, const TStringItem& item) {
    fillSelection(painter, option);
    drawRichText(painter, option, item.text(), option.rect);
}

void paintIconWithString(QPainter* painter, const QStyleOptionViewItem& option,
                         const TIconWithStringItem& item) {
    fillSelection(painter, option);
    const QRect& r = option.rect;
    const int w = item.icon().actualSize(kIconSize, QIcon::Normal, QIcon::Off).width();
    item.icon().paint(
        painter, QRect(QPoint(r.left() + 2, r.top() + 2), QPoint(r.left() + w - 1, r.bottom())),
        Qt::AlignCenter, QIcon::Normal, QIcon::Off);
    drawRichText(painter, option, item.text(),
                 QRect(QPoint(r.left() + w, r.top()), QPoint(r.right() - w, r.bottom())));
}

void paintProgressbarWithString(QPainter* painter, const QStyleOptionViewItem& option,
                                const TProgressbarWithStringItem& item) {
    fillSelection(painter, option);
    const QRect& r = option.rect;
    const int th = textSize(option, item.text()).height();
    const int d = (r.height() - th - kBarHeight) / 2;
    drawRichText(
        painter, option, item.text(),
        QRect(QPoint(r.left(), r.top() + kBarHeight + d), QPoint(r.right(), r.bottom() - d)));
    drawBar(painter, option, QRect(r.left(), r.top() + d, r.width(), kBarHeight), item.progress(),
            item.maximum());
}

}  // namespace

TDelegate::TDelegate(QObject* parent) : QItemDelegate(parent) {}

void TDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                      const QModelIndex& index) const {
    const QVariant v = index.data(Qt::DisplayRole);
    if (isCellItem<TProgressbarItem>(v))
        paintProgressbar(painter, option, cellItem<TProgressbarItem>(v));
    else if (isCellItem<TPixmapItem>(v))
        paintPixmap(painter, option, cellItem<TPixmapItem>(v));
    else if (isCellItem<TStringItem>(v))
        paintString(painter, option, cellItem<TStringItem>(v));
    else if (isCellItem<TIconWithStringItem>(v))
        paintIconWithString(painter, option, cellItem<TIconWithStringItem>(v));
    else if (isCellItem<TProgressbarWithStringItem>(v))
        paintProgressbarWithString(painter, option, cellItem<TProgressbarWithStringItem>(v));
    else
        QItemDelegate::paint(painter, option, index);
}

QSize TDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const QVariant v = index.data(Qt::DisplayRole);
    if (isCellItem<TProgressbarItem>(v))
        return QSize(100, kBarHeight);
    if (isCellItem<TPixmapItem>(v))
        return cellItem<TPixmapItem>(v).pixmap().deviceIndependentSize().toSize();
    if (isCellItem<TStringItem>(v))
        return textSize(option, cellItem<TStringItem>(v).text()) + QSize(8, 4);
    if (isCellItem<TIconWithStringItem>(v)) {
        const TIconWithStringItem item = cellItem<TIconWithStringItem>(v);
        return textSize(option, item.text()) + QSize(8, 4) +
               item.icon().actualSize(kIconSize, QIcon::Normal, QIcon::Off);
    }
    if (isCellItem<TProgressbarWithStringItem>(v))
        return textSize(option, cellItem<TProgressbarWithStringItem>(v).text()) +
               QSize(0, kBarHeight);
    return QItemDelegate::sizeHint(option, index);
}

QWidget* TDelegate::createEditor(QWidget*, const QStyleOptionViewItem&, const QModelIndex&) const {
    return nullptr;
}
