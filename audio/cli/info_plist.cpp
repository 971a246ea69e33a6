// The information property list the executable carries in a section of its
// own: readelf -p .lumeno_plist lumeno-audio
namespace {

[[gnu::used, gnu::section(".lumeno_plist")]] const char infoPlist[] =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key>
  <string>app.lumeno.audio</string>
  <key>CFBundleName</key>
  <string>Lumeno</string>
  <key>NSMicrophoneUsageDescription</key>
  <string>Lumeno records your voice in meetings so it can write the transcript and your notes. Nothing leaves your Mac.</string>
  <key>NSAudioCaptureUsageDescription</key>
  <string>Lumeno records the sound of your calls so it can write down what others say. Nothing leaves your Mac.</string>
</dict>
</plist>
)";

}  // namespace
