#pragma once

// The keys of every persisted user setting of the client.
namespace korvane::SettingsKey {
inline constexpr const char* kEmail = "email";
inline constexpr const char* kMode = "mode";
inline constexpr const char* kSelectedNode = "selectedNode";
inline constexpr const char* kRemember = "remember";
inline constexpr const char* kQualityEnabled = "qualityEnabled";
inline constexpr const char* kQualityConsentAnswered = "qualityConsentAnswered";
} // namespace korvane::SettingsKey
