#pragma once
// What a stretch of 16-bit PCM holds when it should be one pure tone: its
// dominant frequency and how far above the rest of the signal it stands.
#include <cmath>
#include <cstdint>
#include <vector>

namespace Quillet::Testing {

struct Tone {
    double frequency = 0.0; // Hz
    double snrDb = -1e9;    // the fitted sine against everything else
};

// Fits a sine to mono `samples`: coarse search over every whole Hz up to
// rate/2, then a fine search around the best; the SNR is the fitted sine's
// power over the residual's.
inline Tone FindTone(const std::vector<int16_t>& samples, int rate)
{
    const size_t n = samples.size();
    if (n < 64 || rate <= 0)
        return {};
    double mean = 0.0;
    for (int16_t s : samples)
        mean += s;
    mean /= double(n);
    auto fit = [&](double f, double& a, double& b) {
        double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
        const double w = 2.0 * M_PI * f / rate;
        for (size_t i = 0; i < n; ++i) {
            const double s = std::sin(w * double(i)), c = std::cos(w * double(i)), y = samples[i] - mean;
            ss += s * s, cc += c * c, sc += s * c, ys += y * s, yc += y * c;
        }
        const double det = ss * cc - sc * sc;
        a = det != 0 ? (ys * cc - yc * sc) / det : 0;
        b = det != 0 ? (yc * ss - ys * sc) / det : 0;
        return a * ys + b * yc; // the power the sine explains
    };
    double a = 0, b = 0, best = -1, bestF = 0;
    for (double f = 20; f < rate / 2.0; f += 1.0)
        if (const double p = fit(f, a, b); p > best)
            best = p, bestF = f;
    for (double f = bestF - 1.0; f <= bestF + 1.0; f += 0.02)
        if (const double p = fit(f, a, b); p > best)
            best = p, bestF = f;
    fit(bestF, a, b);
    double signal = 0, residual = 0;
    const double w = 2.0 * M_PI * bestF / rate;
    for (size_t i = 0; i < n; ++i) {
        const double model = a * std::sin(w * double(i)) + b * std::cos(w * double(i));
        const double y = samples[i] - mean;
        signal += model * model;
        residual += (y - model) * (y - model);
    }
    return {bestF, 10.0 * std::log10(signal / std::max(residual, 1e-9))};
}

} // namespace Quillet::Testing
