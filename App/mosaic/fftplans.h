#pragma once

// FFTW plans for the registration's two-dimensional real transforms, made once per size for the
// whole process and shared by every correlator (executing a plan on other arrays is safe from
// any thread; making one is not, so making them is serialised here). Planning measures the
// candidates, which takes a while for a new size; what it learnt (FFTW's wisdom) is kept in a
// file of the program's cache folder, so that the next start plans at once.

#include <QString>

#include <opencv2/core.hpp>

#include <fftw3.h>

#include <cstddef>
#include <memory>

namespace fftplans {

// For a real image of rows x cols floats (row stride cols): the forward transform to its half
// spectrum of rows x (cols / 2 + 1) complex values, and the inverse from such a spectrum back to
// rows x cols (unnormalised, and overwriting the spectrum). Arrays given to them must come from
// alignedFloats().
struct Plans {
    fftwf_plan forward = nullptr;
    fftwf_plan inverse = nullptr;
};

// The plans for this size; `vectors` false makes them without FFTW's own vector code, for the
// portable path. Never null: a size FFTW cannot plan is a programming error.
Plans plansFor(cv::Size size, bool vectors);

struct FreeFloats {
    void operator()(float *p) const { fftwf_free(p); }
};
using AlignedFloats = std::unique_ptr<float[], FreeFloats>;
// Zeroed floats aligned as the plans expect.
AlignedFloats alignedFloats(std::size_t count);

// The wisdom file: "fftw_wisdom" in QStandardPaths::CacheLocation unless set otherwise. Setting
// it before the first plan is made decides where wisdom is read from.
QString wisdomPath();
void setWisdomPath(const QString &path);
// Whether a plan of this size can be made from the wisdom already known, without measuring.
bool knowsSize(cv::Size size, bool vectors);
// Forgets the wisdom of this process (plans already made stay), and reads the file again at
// the next plan.
void forgetWisdom();

} // namespace fftplans
