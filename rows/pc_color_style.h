// TPCColorStyle: the shading parameters of one part of a cylinder bar.
//
// IntensityRGB, Intensity, IntensityFactor and RangeRGB turn a colour channel
// into a fraction; ColorRGB, ColorFactor and LightAngle shape the brightness
// across the bar's thickness. Every setter ignores the current value; those of
// the divisors (Intensity, RangeRGB, LightAngle) also refuse 0 (and, for the
// floating ones, values that are not finite). An accepted change tells the
// owning control, which marks its look as custom (outside a look preset),
// recomputes its colour fractions and repaints.
#pragma once

#include <cstdint>

namespace quillon {

class TProgressCyl;

// The seven values as plain data (the look tables and the drawing use this).
struct TPCStyleValues {
  int32_t IntensityRGB = 255;
  float Intensity = 4.0f;
  float IntensityFactor = -1.0f;
  int32_t RangeRGB = 255;
  int32_t ColorRGB = 255;
  float ColorFactor = -1.0f;
  float LightAngle = -3.0f;

  bool operator==(const TPCStyleValues&) const = default;
};

class TPCColorStyle {
 public:
  // The owner may be null (a free-standing style notifies nobody).
  explicit TPCColorStyle(TProgressCyl* owner = nullptr) : owner_(owner) {}
  TPCColorStyle(const TPCColorStyle&) = delete;
  TPCColorStyle& operator=(const TPCColorStyle&) = delete;

  int32_t IntensityRGB() const { return v_.IntensityRGB; }
  float Intensity() const { return v_.Intensity; }
  float IntensityFactor() const { return v_.IntensityFactor; }
  int32_t RangeRGB() const { return v_.RangeRGB; }
  int32_t ColorRGB() const { return v_.ColorRGB; }
  float ColorFactor() const { return v_.ColorFactor; }
  float LightAngle() const { return v_.LightAngle; }

  void SetIntensityRGB(int32_t v);
  void SetIntensity(float v);
  void SetIntensityFactor(float v);
  void SetRangeRGB(int32_t v);
  void SetColorRGB(int32_t v);
  void SetColorFactor(float v);
  void SetLightAngle(float v);

  const TPCStyleValues& Values() const { return v_; }
  TProgressCyl* Owner() const { return owner_; }

  // Copies the seven values one by one through the setters above.
  void Assign(const TPCStyleValues& v);
  void Assign(const TPCColorStyle& other) { Assign(other.Values()); }

 private:
  void Changed();
  // Sets field to v and tells the owner, unless v is the same or not usable.
  template <typename T>
  void Update(T& field, T v, bool usable);

  TProgressCyl* owner_;
  TPCStyleValues v_;
};

}  // namespace quillon
