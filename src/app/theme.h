// The window's colours, shared by the panels, notices and the library list.
#pragma once
#include "ui/draw.h"

constexpr DrawColour THEME_INK = {0.88f, 0.92f, 0.96f, 1.0f};     // text
constexpr DrawColour THEME_DIM = {0.55f, 0.62f, 0.70f, 1.0f};     // secondary text
constexpr DrawColour THEME_FAINT = {0.40f, 0.46f, 0.54f, 1.0f};   // hints
constexpr DrawColour THEME_PANEL = {0.06f, 0.08f, 0.13f, 0.96f};  // panels and the library
constexpr DrawColour THEME_EDGE = {0.35f, 0.45f, 0.60f, 0.7f};    // outlines
constexpr DrawColour THEME_BUTTON = {0.16f, 0.20f, 0.28f, 1.0f};
constexpr DrawColour THEME_DANGER = {0.80f, 0.22f, 0.20f, 1.0f};
