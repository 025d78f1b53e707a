// SPDX-License-Identifier: Apache-2.0
#pragma once
// The face the window's fixed layout was measured in: Tahoma 8 beside 13-pixel check boxes.
#include <QLabel>
#include <QString>

class QShowEvent;
class QWidget;

namespace kestravo {

// Makes "Tahoma" resolve to the closest face installed: Wine's metric-compatible Tahoma where it
// is installed, else a narrow sans face. Call before the layout is built.
void PrepareLayoutFace();

// Gives every check box on form the narrow gap between box and caption that the layout's widths
// were measured with, so that captions such as "Enable LED indication" fit their boxes.
void NarrowCheckBoxGaps(QWidget* form);

// Draws the group boxes as the layout assumes: the frame line through the middle of the caption,
// so that the first control of each group sits clear of the frame.
void ClassicGroupBoxes(QWidget* form);

// A picture of the layout that is decoded the first time it is shown rather than when the layout
// is built: the background picture stays hidden, and decoding it would only slow the window's
// start and hold its pixels for nothing. The layout names the file in the property pictureFile;
// its suffix names the format, so that no image plugin is loaded for the built-in PNG reader.
class DeferredPicture : public QLabel {
    Q_OBJECT
    Q_PROPERTY(QString pictureFile READ PictureFile WRITE SetPictureFile)

public:
    explicit DeferredPicture(QWidget* parent = nullptr);

    QString PictureFile() const { return file_; }
    // A new file replaces a picture already shown at once; otherwise it waits for the next show.
    void SetPictureFile(const QString& file);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Decode();

    QString file_;
    bool decoded_ = false;
};

} // namespace kestravo
