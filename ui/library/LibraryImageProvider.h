#pragma once

#include <QQuickImageProvider>
#include <QString>

namespace kvr::ui::library {

// Cover pictures of the library for QML: "image://library/<key>/<size>" answers from the covers directory,
// with a thumbnail per size bucket made from the full cover on first use and kept there. Runs on QML's
// image-loading thread and touches nothing but files and its own directory string.
class LibraryImageProvider : public QQuickImageProvider {
public:
    explicit LibraryImageProvider(const QString& coversDir);

    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;

    // The thumbnail bucket for a wanted size: the first of 64, 128, 256, 512 that holds it, 512 beyond;
    // 0 (no bucket, the full cover) for a size below 1.
    static int bucketFor(int size);

private:
    const QString coversDir;
};

} // namespace kvr::ui::library
