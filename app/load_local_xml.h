// Reads the product XML embedded in the program (resource "XML" 106) into
// the manager's ProductConfig, chooses the config folder, forms the
// run-configuration path, records the channel and sets the first tracking
// fields.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

class QivMgr;

bool LoadLocalXml(QivMgr& mgr);

// The same with the resource bytes given (nullopt: the resource is missing).
bool LoadLocalXmlFrom(QivMgr& mgr, std::optional<std::span<const uint8_t>> resource);

// Chooses the config folder for `brand` (empty: "Quorvane") among the shared
// documents folder, the executable's folder and the temporary folder: the
// first one that can be created and written wins; the last is taken anyway.
std::wstring ChooseConfigFolder(const std::wstring& brand);
