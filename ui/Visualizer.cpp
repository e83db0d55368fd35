#include "ui/Visualizer.h"

#include <QColor>
#include <QLinearGradient>
#include <QPainter>
#include <QPen>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kvr::ui {

namespace {

constexpr int tickMs = 33;
// The meters and the waveform look at the newest half of the samples.
constexpr size_t recentFrames = Visualizer::frameCount / 2;
// Single precision, as every transform step and window value is computed.
constexpr float twoPi = 6.2831855f;
// Band edges run logarithmically from 30 Hz to 16 kHz over the bins of a 48 kHz signal.
constexpr double lowestHz = 30.0;
constexpr double edgeRatio = 16000.0 / 30.0;
constexpr double binsPerHz = double(Visualizer::frameCount) / 48000.0;
constexpr int spectrogramScroll = 2;

const QColor trackColour(0x2a, 0x2d, 0x33);
const QColor markColour(232, 234, 237);

float clamp01(float v)
{
    return std::clamp(v, 0.0f, 1.0f);
}

// Maps a level in dB full scale from −60 to 0 onto 0 to 1.
double meterFraction(float value)
{
    return std::clamp((20.0 * std::log10(double(value) + 1e-6) + 60.0) / 60.0, 0.0, 1.0);
}

int bandEdge(int b, int bandCount)
{
    return int(std::pow(edgeRatio, double(b) / double(bandCount)) * lowestHz * binsPerHz);
}

} // namespace

Visualizer::Visualizer(QQuickItem* parent)
    : QQuickPaintedItem(parent)
    , samples_(frameCount * 2, 0.0f)
    , spectrum_(frameCount)
    , wave_(int(recentFrames))
{
    setAntialiasing(true);
    tickTimer_.setInterval(tickMs);
    connect(&tickTimer_, &QTimer::timeout, this, &Visualizer::tick);
}

Visualizer::~Visualizer() = default;

void Visualizer::setBridge(MediaSessionBridge* bridge)
{
    if (bridge == bridge_)
        return;
    bridge_ = bridge;
    emit bridgeChanged();
}

void Visualizer::setSampleSource(SampleSource source)
{
    source_ = std::move(source);
}

void Visualizer::setMode(int mode)
{
    mode = std::clamp(mode, 1, 4);
    if (mode == mode_)
        return;
    mode_ = mode;
    // The spectrogram's history belongs to the mode it was drawn in; coming back starts it black.
    spectrogram_ = QImage();
    emit modeChanged();
    update();
}

void Visualizer::setRunning(bool running)
{
    if (running == running_)
        return;
    running_ = running;
    if (running_)
        tickTimer_.start();
    else
        tickTimer_.stop();
    emit runningChanged();
}

void Visualizer::setBands(int bands)
{
    bands = bands <= 16 ? 16 : bands <= 32 ? 32 : 64;
    if (bands == bands_)
        return;
    bands_ = bands;
    levels_.clear();
    peaks_.clear();
    emit bandsChanged();
}

void Visualizer::tick()
{
    if ((!bridge_ && !source_) || !isVisible())
        return;
    const size_t n
        = source_ ? source_(samples_.data(), frameCount) : bridge_->readAudioSamples(samples_.data(), frameCount);
    // A short read would mix stale and fresh samples; silence is the honest picture.
    if (n < frameCount)
        std::fill(samples_.begin(), samples_.end(), 0.0f);

    float* rms[2] = { &rmsLeft_, &rmsRight_ };
    float* peak[2] = { &peakLeft_, &peakRight_ };
    for (size_t c = 0; c < 2; ++c) {
        double sum = 0.0;
        float pk = 0.0f;
        for (size_t i = frameCount - recentFrames; i < frameCount; ++i) {
            const float x = samples_[i * 2 + c];
            sum += double(x) * double(x);
            pk = std::max(pk, std::fabs(x));
        }
        const float value = float(std::sqrt(sum / double(recentFrames)));
        *rms[c] = std::max(*rms[c] * 0.85f, value);
        *peak[c] = std::max(*peak[c] - 0.02f, pk);
    }

    if (mode_ == 1 || mode_ == 4)
        computeSpectrum();
    update();
}

void Visualizer::computeSpectrum()
{
    for (size_t i = 0; i < frameCount; ++i) {
        const float w = 0.5f - 0.5f * std::cos(twoPi * float(i) / float(frameCount - 1));
        spectrum_[i] = { (samples_[i * 2] + samples_[i * 2 + 1]) * 0.5f * w, 0.0f };
    }
    fft(spectrum_.data(), spectrum_.size());

    const int bandCount = bands_;
    if (levels_.size() != size_t(bandCount)) {
        levels_.assign(size_t(bandCount), 0.0f);
        peaks_.assign(size_t(bandCount), 0.0f);
    }
    current_.resize(size_t(bandCount));
    const int half = int(frameCount / 2);
    for (int b = 0; b < bandCount; ++b) {
        const int lo = std::clamp(bandEdge(b, bandCount), 1, half - 1);
        const int hi = std::clamp(std::max(bandEdge(b + 1, bandCount), lo + 1), 2, half);
        float m = 0.0f;
        for (int k = lo; k < hi; ++k)
            m = std::max(m, std::abs(spectrum_[size_t(k)]));
        const float v = clamp01(float((20.0 * std::log10(double(m) / 512.0 + 1e-6) + 70.0) / 70.0));
        current_[size_t(b)] = v;
        float& level = levels_[size_t(b)];
        level = v > level ? v : level * 0.82f + v * 0.18f;
        peaks_[size_t(b)] = std::max(peaks_[size_t(b)] - 0.012f, level);
    }
    if (mode_ == 4)
        updateSpectrogram();
}

void Visualizer::updateSpectrogram()
{
    const QSize size(std::max(1, int(width())), std::max(1, int(height())));
    if (spectrogram_.size() != size) {
        spectrogram_ = QImage(size, QImage::Format_RGB32);
        spectrogram_.fill(Qt::black);
    }
    const int w = size.width();
    // Too narrow to scroll by a column pair: nothing to draw.
    if (w < spectrogramScroll)
        return;
    const int bandCount = int(current_.size());
    const double h = double(size.height());
    for (int y = 0; y < size.height(); ++y) {
        // Low bands at the bottom.
        const int k = std::clamp(int((1.0 - double(y) / h) * bandCount), 0, bandCount - 1);
        const float v = current_[size_t(k)];
        const QRgb colour = QColor::fromHsvF(std::max(0.0f, 0.66f - 0.66f * v), 0.9f, std::min(1.0f, v + 0.15f)).rgb();
        auto* line = reinterpret_cast<QRgb*>(spectrogram_.scanLine(y));
        std::memmove(line, line + spectrogramScroll, size_t(w - spectrogramScroll) * sizeof(QRgb));
        for (int x = w - spectrogramScroll; x < w; ++x)
            line[x] = colour;
    }
}

void Visualizer::fft(std::complex<float>* values, size_t size)
{
    for (size_t i = 1, j = 0; i < size; ++i) {
        size_t bit = size >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(values[i], values[j]);
    }
    for (size_t len = 2; len <= size; len <<= 1) {
        const float theta = -twoPi / float(len);
        const std::complex<float> step(std::cos(theta), std::sin(theta));
        const size_t halfLen = len / 2;
        for (size_t start = 0; start < size; start += len) {
            std::complex<float> w(1.0f, 0.0f);
            for (size_t k = 0; k < halfLen; ++k) {
                const std::complex<float> even = values[start + k];
                const std::complex<float> odd = values[start + k + halfLen] * w;
                values[start + k] = even + odd;
                values[start + k + halfLen] = even - odd;
                w *= step;
            }
        }
    }
}

void Visualizer::paint(QPainter* painter)
{
    const QRectF r = boundingRect();
    if (r.isEmpty())
        return;

    switch (mode_) {
    case 1: {
        const size_t n = levels_.size();
        if (n == 0)
            return;
        const double bw = (r.width() - double(n - 1) * 3.0) / double(n);
        const double pitch = bw + 3.0;
        for (size_t i = 0; i < n; ++i) {
            const double x = r.left() + double(i) * pitch;
            painter->fillRect(QRectF(x, r.bottom() - r.height(), bw, r.height()), trackColour);
            const double level = levels_[i];
            const QRectF bar(x, r.bottom() - r.height() * level, bw, r.height() * level);
            QLinearGradient gradient(bar.bottomLeft(), bar.topLeft());
            gradient.setColorAt(0.0, QColor(0xff, 0x5b, 0x22));
            gradient.setColorAt(1.0, QColor(255, 208, 154));
            painter->fillRect(bar, gradient);
            painter->fillRect(QRectF(x, r.bottom() - r.height() * double(peaks_[i]) - 2.0, bw, 2.0), markColour);
        }
        break;
    }
    case 2: {
        const QColor colours[2] = { QColor(0xff, 0x5b, 0x22), QColor(0xff, 0x7a, 0x45) };
        const double centres[2] = { 0.3, 0.7 };
        for (size_t c = 0; c < 2; ++c) {
            for (size_t j = 0; j < recentFrames; ++j) {
                const float sample = samples_[(frameCount - recentFrames + j) * 2 + c];
                wave_[int(j)] = QPointF(r.width() * double(j) / double(recentFrames - 1) + r.left(),
                    r.top() + r.height() * centres[c] - r.height() * 0.22 * double(sample));
            }
            painter->setPen(QPen(colours[c], 1.6, Qt::SolidLine));
            painter->drawPolyline(wave_);
        }
        break;
    }
    case 3: {
        const double bh = r.height() * 0.22;
        const double tops[2] = { 0.22, 0.56 };
        const float rms[2] = { rmsLeft_, rmsRight_ };
        const float peak[2] = { peakLeft_, peakRight_ };
        const QString labels[2] = { tr("L"), tr("R") };
        for (int i = 0; i < 2; ++i) {
            const double y = r.top() + r.height() * tops[i];
            painter->fillRect(QRectF(r.left(), y, r.width(), bh), trackColour);
            const double e = meterFraction(rms[i]);
            QLinearGradient gradient(r.left(), 0.0, r.right(), 0.0);
            gradient.setColorAt(0.0, QColor(34, 197, 94));
            gradient.setColorAt(0.75, QColor(251, 191, 36));
            gradient.setColorAt(1.0, QColor(239, 68, 68));
            painter->fillRect(QRectF(r.left(), y, r.width() * e, bh), gradient);
            painter->fillRect(QRectF(r.left() + r.width() * meterFraction(peak[i]) - 1.5, y, 3.0, bh), markColour);
            painter->setPen(QColor(156, 163, 175));
            painter->drawText(QRectF(r.left(), y - 18.0, 40.0, 16.0), Qt::AlignLeft | Qt::AlignVCenter, labels[i]);
        }
        break;
    }
    case 4:
        if (!spectrogram_.isNull())
            painter->drawImage(r, spectrogram_);
        break;
    default:
        break;
    }
}

} // namespace kvr::ui
