// SPDX-License-Identifier: Apache-2.0
#include "app/layout_face.h"

#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QGroupBox>
#include <QImage>
#include <QImageReader>
#include <QPixmap>
#include <QProxyStyle>
#include <QShowEvent>
#include <QStyleFactory>
#include <QStyleOption>
#include <QWidget>

#include <utility>

namespace kestravo {

namespace {

// Where Debian's fonts-wine and similar packages put Wine's Tahoma; fontconfig does not list it.
constexpr const char* kTahomaFiles[] = {
    "/usr/share/wine/fonts/tahoma.ttf",
    "/usr/share/fonts/truetype/wine/tahoma.ttf",
    "/opt/wine-stable/share/wine/fonts/tahoma.ttf",
};

// Box and caption as close together as the layout assumes.
class NarrowCheckBoxStyle : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override
    {
        // The 13-pixel box and the gap of the platform the layout was drawn on.
        if (metric == PM_IndicatorWidth || metric == PM_IndicatorHeight)
            return 13;
        if (metric == PM_CheckBoxLabelSpacing)
            return 3;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};

// The classic group frame, with its title in the group's own window-text colour: the base style
// takes the colour of text in edits, light under a dark scheme, which is white on the white panel.
class ClassicGroupStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override
    {
        if (hint == SH_GroupBox_TextLabelColor && option != nullptr)
            return int(option->palette.color(QPalette::WindowText).rgba());
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

} // namespace

void PrepareLayoutFace()
{
    static const bool prepared = [] {
        if (!QFontDatabase::families().contains(QStringLiteral("Tahoma"))) {
            for (const char* file : kTahomaFiles) {
                const QString path = QString::fromLatin1(file);
                if (QFile::exists(path) && QFontDatabase::addApplicationFont(path) >= 0)
                    break;
            }
        }
        // Used only where no Tahoma could be had: narrow faces keep most captions in place.
        QFont::insertSubstitutions(QStringLiteral("Tahoma"),
                                   {QStringLiteral("DejaVu Sans Condensed"),
                                    QStringLiteral("Liberation Sans Narrow"),
                                    QStringLiteral("Arial")});
        return true;
    }();
    (void)prepared;
}

void ClassicGroupBoxes(QWidget* form)
{
    // Owned by the form and created after its controls, so it outlives every group box using it.
    QStyle* windows = QStyleFactory::create(QStringLiteral("Windows"));
    if (windows == nullptr)
        return;
    auto* classic = new ClassicGroupStyle(windows); // takes windows over
    classic->setParent(form);
    for (QGroupBox* group : form->findChildren<QGroupBox*>())
        group->setStyle(classic);
}

void NarrowCheckBoxGaps(QWidget* form)
{
    // Owned by the form and created after its controls, so it outlives every check box using it.
    auto* style = new NarrowCheckBoxStyle;
    style->setParent(form);
    for (QCheckBox* box : form->findChildren<QCheckBox*>())
        box->setStyle(style);
}

DeferredPicture::DeferredPicture(QWidget* parent) : QLabel(parent) {}

void DeferredPicture::SetPictureFile(const QString& file)
{
    if (file == file_)
        return;
    file_ = file;
    decoded_ = false;
    clear();
    if (isVisible())
        Decode();
}

void DeferredPicture::showEvent(QShowEvent* event)
{
    if (!decoded_)
        Decode();
    QLabel::showEvent(event);
}

void DeferredPicture::Decode()
{
    decoded_ = true;
    if (file_.isEmpty()) {
        setPixmap(QPixmap());
        return;
    }
    // Read in the format its name gives: guessing would load and ask every image plugin, though
    // the PNG reader is built in. A file whose name misleads is still read by its content; one
    // that cannot be read leaves the picture empty, as a missing picture in a layout does.
    QImageReader reader(file_, QFileInfo(file_).suffix().toLower().toLatin1());
    reader.setAutoDetectImageFormat(false);
    QImage image = reader.read();
    setPixmap(image.isNull() ? QPixmap(file_) : QPixmap::fromImage(std::move(image)));
}

} // namespace kestravo
