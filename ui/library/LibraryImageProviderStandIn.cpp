#include "ui/library/LibraryImageProvider.h"

// Without a library nothing fills the cover cache, so every request is answered with no picture.

namespace kvr::ui::library {

LibraryImageProvider::LibraryImageProvider(const QString& coverCacheDir)
    : QQuickImageProvider(QQuickImageProvider::Image)
    , coverCacheDir_(coverCacheDir)
{
}

QImage LibraryImageProvider::requestImage(const QString&, QSize* size, const QSize&)
{
    if (size)
        *size = QSize();
    return QImage();
}

} // namespace kvr::ui::library
