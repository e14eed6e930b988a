// The engine's buffers: a thread's workspace, a region's grey plane, and the planes made from a
// region window for the forward transforms.
#include <algorithm>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "match/cv_compat.h"
#include "match/engine_internal.h"

namespace tavrik {

cv::Mat Scratch::View(int rows, int cols, int type) {
  const std::size_t bytes =
      static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) * CV_ELEM_SIZE(type);
  if (bytes > storage_.total()) storage_.create(1, static_cast<int>(bytes), CV_8U);
  return cv::Mat(rows, cols, type, storage_.data);
}

std::size_t MatchWorkspace::Impl::TransformEntry::Bytes() const {
  std::size_t bytes = MatBytes(plane) + MatBytes(work) + MatBytes(out) + MatBytes(out2);
  for (const cv::Mat& r : region) bytes += MatBytes(r);
  return bytes;
}

MatchWorkspace::Impl::TransformEntry& MatchWorkspace::Impl::Get(TransformKind kind,
                                                                cv::Size size) {
  for (auto it = transforms.begin(); it != transforms.end(); ++it) {
    if (it->kind == kind && it->size == size) {
      // Most recently used last: the others are the first to go.
      if (std::next(it) != transforms.end()) std::rotate(it, std::next(it), transforms.end());
      return transforms.back();
    }
  }
  // Two sizes are kept while they are small (a rectangle's templates may use two geometries); a
  // large one is kept alone, so a thread never holds more than one large set of buffers.
  constexpr int kLargeArea = 512 * 512;
  const bool large = size.area() > kLargeArea ||
                     std::any_of(transforms.begin(), transforms.end(),
                                 [](const TransformEntry& e) { return e.size.area() > kLargeArea; });
  if (transforms.size() >= (large ? 1u : 2u)) transforms.erase(transforms.begin());
  TransformEntry e{kind, size, MakeTransform(kind, size), {}, {}, {}, {}, {}};
  e.plane = e.transform->NewPlane();
  e.work = e.transform->NewSpectrum();
  e.out = e.transform->NewPlane();
  e.out2 = e.transform->NewPlane();
  transforms.push_back(std::move(e));
  return transforms.back();
}

cv::Mat& MatchWorkspace::Impl::RegionSpectrum(TransformEntry& e, std::size_t slot) {
  cv::Mat& spectrum = e.region[slot];
  if (spectrum.empty()) spectrum = e.transform->NewSpectrum();
  return spectrum;
}

MatchWorkspace::MatchWorkspace() : impl_(std::make_unique<Impl>()) {}
MatchWorkspace::~MatchWorkspace() = default;

void MatchWorkspace::Release() {
  impl_->transforms.clear();
  impl_->transforms.shrink_to_fit();
  impl_->scores.Release();
  // Not `= {}`: that assigns an empty initializer list and keeps the capacity.
  std::vector<std::int64_t>().swap(impl_->sums);
}

std::size_t MatchWorkspace::Bytes() const {
  std::size_t bytes = impl_->scores.Bytes() + impl_->sums.capacity() * sizeof(std::int64_t);
  for (const Impl::TransformEntry& e : impl_->transforms) bytes += e.Bytes();
  return bytes;
}

std::uint64_t MatchWorkspace::MapsComputed() const { return impl_->mapsComputed; }
std::uint64_t MatchWorkspace::RegionTiles() const { return impl_->regionTiles; }

MatchWorkspace& ThreadMatchWorkspace() {
  thread_local MatchWorkspace workspace;
  return workspace;
}

struct RegionPixels::Impl {
  bool greyValid = false;
  cv::Mat grey;  // a view of the right size over grown storage
  Scratch greyStorage;
};

RegionPixels::RegionPixels() : impl_(std::make_unique<Impl>()) {}
RegionPixels::~RegionPixels() = default;

void RegionPixels::Reset(const cv::Mat& pixels) {
  pixels_ = pixels;
  impl_->greyValid = false;
}

void RegionPixels::Release() {
  pixels_.release();
  impl_->greyValid = false;
  impl_->grey.release();
  impl_->greyStorage.Release();
}

std::size_t RegionPixels::Bytes() const { return impl_->greyStorage.Bytes(); }

const cv::Mat& RegionPixels::Grey() {
  if (!impl_->greyValid) {
    CV_Assert(pixels_.depth() == CV_8U && (pixels_.channels() == 3 || pixels_.channels() == 4));
    impl_->grey = impl_->greyStorage.View(pixels_.rows, pixels_.cols, CV_8UC1);
    cvc::CvtColor(pixels_, impl_->grey,
                  pixels_.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    impl_->greyValid = true;
  }
  return impl_->grey;
}

void FillPlane(RegionPixels& region, Content content, int channel, cv::Rect window,
               cv::Mat& plane) {
  const std::size_t rowBytes = static_cast<std::size_t>(plane.cols) * sizeof(double);
  const cv::Mat& source = content == Content::kGrey ? region.Grey() : region.Pixels();
  const int cn = source.channels();
  for (int row = 0; row < plane.rows; ++row) {
    double* out = plane.ptr<double>(row);
    if (row >= window.height) {
      std::memset(out, 0, rowBytes);
      continue;
    }
    const std::uint8_t* in = source.ptr<std::uint8_t>(window.y + row) + window.x * cn;
    if (content == Content::kSumOfSquares) {
      for (int col = 0; col < window.width; ++col, in += cn) {
        out[col] = static_cast<double>(in[0] * in[0] + in[1] * in[1] + in[2] * in[2]);
      }
    } else {
      in += content == Content::kColour ? channel : 0;
      for (int col = 0; col < window.width; ++col) out[col] = in[col * cn];
    }
    std::fill(out + window.width, out + plane.cols, 0.0);
  }
}

void WindowSums(RegionPixels& region, cv::Rect window, std::vector<std::int64_t>& sums) {
  const cv::Mat& grey = region.Grey();
  const std::size_t stride = static_cast<std::size_t>(window.width) + 1;
  const std::size_t plane = stride * (static_cast<std::size_t>(window.height) + 1);
  sums.resize(2 * plane);
  std::int64_t* sum = sums.data();
  std::int64_t* sqsum = sums.data() + plane;
  std::fill_n(sum, stride, 0);
  std::fill_n(sqsum, stride, 0);
  for (int y = 0; y < window.height; ++y) {
    const std::uint8_t* g = grey.ptr<std::uint8_t>(window.y + y) + window.x;
    const std::int64_t* s0 = sum + static_cast<std::size_t>(y) * stride;
    const std::int64_t* q0 = sqsum + static_cast<std::size_t>(y) * stride;
    std::int64_t* s1 = sum + static_cast<std::size_t>(y + 1) * stride;
    std::int64_t* q1 = sqsum + static_cast<std::size_t>(y + 1) * stride;
    s1[0] = 0;
    q1[0] = 0;
    std::int64_t rowSum = 0;
    std::int64_t rowSq = 0;
    for (int x = 0; x < window.width; ++x) {
      const std::int64_t v = g[x];
      rowSum += v;
      rowSq += v * v;
      s1[x + 1] = s0[x + 1] + rowSum;
      q1[x + 1] = q0[x + 1] + rowSq;
    }
  }
}

}  // namespace tavrik
