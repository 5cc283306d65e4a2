#include "app/qiv_mgr.h"

QivMgr& QivMgr::Get() {
  static QivMgr* mgr = new QivMgr;  // lives to the end of the process
  return *mgr;
}

void QivMgr::ResetForTesting() { *this = QivMgr(); }
