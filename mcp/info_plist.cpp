// The bridge's information property list, kept in an ELF section of its own
// so that tools can read the identity of the executable without running it:
//   readelf -p .lumeno_plist lumeno-mcp
// Linked straight into the executable (not through a library) so the linker
// never drops it.
extern const char lumenoInfoPlist[];

__attribute__((section(".lumeno_plist"), used)) const char lumenoInfoPlist[] =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key>
	<string>app.lumeno.mcp</string>
	<key>CFBundleName</key>
	<string>Lumeno</string>
	<key>CFBundleExecutable</key>
	<string>lumeno-mcp</string>
	<key>CFBundlePackageType</key>
	<string>APPL</string>
	<key>CFBundleInfoDictionaryVersion</key>
	<string>6.0</string>
</dict>
</plist>
)";
