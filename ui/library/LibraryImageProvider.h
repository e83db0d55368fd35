#pragma once

#include <QQuickImageProvider>
#include <QString>

namespace kvr::ui::library {

// Cover pictures of the library for QML ("image://library/…"), read from the cover cache.
class LibraryImageProvider : public QQuickImageProvider {
public:
    explicit LibraryImageProvider(const QString& coverCacheDir);

    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;

private:
    const QString coverCacheDir_;
};

} // namespace kvr::ui::library
