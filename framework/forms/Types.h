// The value types of the controls layer: positions, sizes, alignment, bevels
// and fonts. Plain values, so the layer's controls and the toolkits' back ends
// can share them without including one another.
#pragma once

#include <string>

namespace forms {

struct TPoint {
  int X = 0;
  int Y = 0;
  bool operator==(const TPoint&) const = default;
};

// Pixels at 96 dots per inch, relative to the parent's client area.
struct TRect {
  int Left = 0;
  int Top = 0;
  int Width = 0;
  int Height = 0;
  int Right() const { return Left + Width; }
  int Bottom() const { return Top + Height; }
  bool Contains(TPoint p) const {
    return p.X >= Left && p.X < Right() && p.Y >= Top && p.Y < Bottom();
  }
  bool operator==(const TRect&) const = default;
};

// Where a control sits in its parent as the parent is resized.
enum class TAlign {
  alNone,    // keeps its place and size
  alTop,     // across the top, keeping its height
  alBottom,  // across the bottom, keeping its height
  alClient,  // what the top and bottom controls leave
};

enum class TBevelCut { bvNone, bvLowered, bvRaised };

struct TFont {
  std::string Name;
  int Size = 0;  // points
};

}  // namespace forms
