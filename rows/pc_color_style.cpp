#include "rows/pc_color_style.h"

#include <cmath>

#include "rows/progress_cyl.h"

namespace quillon {

namespace {
// A divisor must be finite and not zero.
bool UsableDivisor(float v) { return v != 0.0f && std::isfinite(v); }
}  // namespace

void TPCColorStyle::Changed() {
  if (owner_ != nullptr) owner_->StyleChanged();
}

template <typename T>
void TPCColorStyle::Update(T& field, T v, bool usable) {
  if (v == field || !usable) return;
  field = v;
  Changed();
}

void TPCColorStyle::SetIntensityRGB(int32_t v) { Update(v_.IntensityRGB, v, true); }

void TPCColorStyle::SetIntensity(float v) { Update(v_.Intensity, v, UsableDivisor(v)); }

void TPCColorStyle::SetIntensityFactor(float v) { Update(v_.IntensityFactor, v, std::isfinite(v)); }

void TPCColorStyle::SetRangeRGB(int32_t v) { Update(v_.RangeRGB, v, v != 0); }

void TPCColorStyle::SetColorRGB(int32_t v) { Update(v_.ColorRGB, v, true); }

void TPCColorStyle::SetColorFactor(float v) { Update(v_.ColorFactor, v, std::isfinite(v)); }

void TPCColorStyle::SetLightAngle(float v) { Update(v_.LightAngle, v, UsableDivisor(v)); }

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
