// The process-wide orchestrator. For now it holds what start-up fills in:
// the run mode, the product and run configurations, the working paths and
// the host values a fork instance takes over from its parent.
#pragma once

#include <cstdint>
#include <string>

#include "app/product_config.h"
#include "app/run_config.h"

struct HostInfo {
  std::wstring version;
  uint32_t hwnd = 0;
};

class QivMgr {
 public:
  static QivMgr& Get();

  bool fork = false;
  ProductConfig product;
  RunConfig run_config;
  std::wstring config_folder;    // ends with "/"
  std::wstring run_config_path;  // config folder + "QIV_DOWNTASK_" + ProductID + ".xml"
  HostInfo host;
  uint32_t main_hwnd = 0;

  // Back to a freshly constructed state (tests only).
  void ResetForTesting();
};
