// The ready-made looks of the cylinder progress indicator and the twelve
// shading styles they are built from.
#pragma once

#include "rows/pc_color_style.h"
#include "rows/progress_cyl_types.h"

namespace quillon {

class TProgressCyl;

// Shading style S1..S12 (S1 is a style's default). Numbers outside 1..12 give
// S1.
const TPCStyleValues& ShadingStyle(int number);

// The look's name as the enumeration spells it ("peGlassOrange").
const char* ProEffectName(TProEffect look);

// Sets a look's values through the control's normal setters: font colour,
// frame colour, background and bevel colours, cylinder effect, the demo looks'
// bevels, border and text visibility, the text effect and shadow colour, the
// three bar colours and the two styles. The caller (TProgressCyl::SetProEffect)
// sets the updating flag and hides and shows the control around it. peCustom
// sets nothing.
void ApplyLookValues(TProgressCyl& control, TProEffect look);

}  // namespace quillon
