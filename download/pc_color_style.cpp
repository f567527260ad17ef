#include "download/pc_color_style.h"

#include <cmath>

#include "download/progress_cyl.h"

namespace quillon {

namespace {
// A divisor must be finite and not zero.
bool UsableDivisor(float v) { return v != 0.0f && std::isfinite(v); }
}  // namespace

void TPCColorStyle::Changed() {
  if (owner_ != nullptr) owner_->StyleChanged();
}

void TPCColorStyle::SetIntensityRGB(int32_t v) {
  if (v == v_.IntensityRGB) return;
  v_.IntensityRGB = v;
  Changed();
}

void TPCColorStyle::SetIntensity(float v) {
  if (v == v_.Intensity || !UsableDivisor(v)) return;
  v_.Intensity = v;
  Changed();
}

void TPCColorStyle::SetIntensityFactor(float v) {
  if (v == v_.IntensityFactor || !std::isfinite(v)) return;
  v_.IntensityFactor = v;
  Changed();
}

void TPCColorStyle::SetRangeRGB(int32_t v) {
  if (v == v_.RangeRGB || v == 0) return;
  v_.RangeRGB = v;
  Changed();
}

void TPCColorStyle::SetColorRGB(int32_t v) {
  if (v == v_.ColorRGB) return;
  v_.ColorRGB = v;
  Changed();
}

void TPCColorStyle::SetColorFactor(float v) {
  if (v == v_.ColorFactor || !std::isfinite(v)) return;
  v_.ColorFactor = v;
  Changed();
}

void TPCColorStyle::SetLightAngle(float v) {
  if (v == v_.LightAngle || !UsableDivisor(v)) return;
  v_.LightAngle = v;
  Changed();
}

void TPCColorStyle::Assign(const TPCStyleValues& v) {
  SetIntensityRGB(v.IntensityRGB);
  SetIntensity(v.Intensity);
  SetIntensityFactor(v.IntensityFactor);
  SetRangeRGB(v.RangeRGB);
  SetColorRGB(v.ColorRGB);
  SetColorFactor(v.ColorFactor);
  SetLightAngle(v.LightAngle);
}

}  // namespace quillon
