#pragma once

#include "ui/bridge/MediaSessionBridge.h"

#include <QImage>
#include <QPointer>
#include <QPolygonF>
#include <QQuickPaintedItem>
#include <QTimer>
#include <QtQml/qqmlregistration.h>

#include <complex>
#include <cstddef>
#include <functional>
#include <vector>

class QPainter;

namespace kvr::ui {

// Animates audio-only playback: a spectrum analyser (mode 1), a two-channel waveform (2), a level meter (3) or a
// scrolling spectrogram (4). While running it reads the newest output samples through the bridge every 33 ms on
// the GUI thread; the analysis works in buffers made once, so a tick allocates nothing.
class Visualizer : public QQuickPaintedItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(kvr::ui::MediaSessionBridge* bridge READ bridge WRITE setBridge NOTIFY bridgeChanged)
    Q_PROPERTY(int mode READ mode WRITE setMode NOTIFY modeChanged)
    Q_PROPERTY(bool running READ running WRITE setRunning NOTIFY runningChanged)
    Q_PROPERTY(int bands READ bands WRITE setBands NOTIFY bandsChanged)

public:
    // Stereo frames analysed per tick; the meters and the waveform use the newest half.
    static constexpr size_t frameCount = 2048;
    // Copies up to `frames` newest stereo frames (left, right pairs, oldest first) and returns how many.
    using SampleSource = std::function<size_t(float* out, size_t frames)>;

    explicit Visualizer(QQuickItem* parent = nullptr);
    ~Visualizer() override;

    MediaSessionBridge* bridge() const { return bridge_; }
    void setBridge(MediaSessionBridge* bridge);
    // Reads samples from `source` instead of the bridge (an empty function returns to the bridge). For tests
    // that must control every sample.
    void setSampleSource(SampleSource source);

    int mode() const { return mode_; }
    void setMode(int mode);
    bool running() const { return running_; }
    void setRunning(bool running);
    int bands() const { return bands_; }
    void setBands(int bands);

    // What the last tick left: smoothed band levels and falling peaks (in [0, 1]), the channels' meters and the
    // spectrogram picture.
    const std::vector<float>& levels() const { return levels_; }
    const std::vector<float>& peaks() const { return peaks_; }
    float rmsLeft() const { return rmsLeft_; }
    float rmsRight() const { return rmsRight_; }
    float peakLeft() const { return peakLeft_; }
    float peakRight() const { return peakRight_; }
    const QImage& spectrogram() const { return spectrogram_; }

    // One refresh: samples, meters, in modes 1 and 4 the spectrum, then a repaint. The timer calls it.
    void tick();
    void paint(QPainter* painter) override;

    // In-place forward radix-2 transform; the size must be a power of two.
    static void fft(std::complex<float>* values, size_t size);

signals:
    void bridgeChanged();
    void modeChanged();
    void runningChanged();
    void bandsChanged();

private:
    void computeSpectrum();
    void updateSpectrogram();

    QPointer<MediaSessionBridge> bridge_;
    SampleSource source_;
    QTimer tickTimer_;
    int mode_ = 1;
    bool running_ = false;
    int bands_ = 32;
    std::vector<float> samples_;
    std::vector<float> levels_;
    std::vector<float> peaks_;
    float rmsLeft_ = 0.0f;
    float rmsRight_ = 0.0f;
    float peakLeft_ = 0.0f;
    float peakRight_ = 0.0f;
    QImage spectrogram_;
    // Work buffers kept between ticks: the windowed transform input, this tick's band values, the waveform.
    std::vector<std::complex<float>> spectrum_;
    std::vector<float> current_;
    QPolygonF wave_;
};

} // namespace kvr::ui
