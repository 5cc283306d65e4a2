#include "platform/locale/locale.h"

#include <cstdlib>
#include <fstream>
#include <string_view>

#include "platform/paths/paths.h"

namespace platform {

namespace {

struct Entry {
  std::string_view name;
  uint32_t lcid;
};

// language_REGION rows first, then the neutral language rows.
constexpr Entry kTable[] = {
    {"ar_SA", 1025}, {"ar_IQ", 2049}, {"ar_EG", 3073}, {"ar_LY", 4097}, {"ar_DZ", 5121}, {"ar_MA", 6145},
    {"ar_TN", 7169}, {"ar_OM", 8193}, {"ar_YE", 9217}, {"ar_SY", 10241}, {"ar_JO", 11265}, {"ar_LB", 12289},
    {"ar_KW", 13313}, {"ar_AE", 14337}, {"ar_BH", 15361}, {"ar_QA", 16385},
    {"zh_TW", 1028}, {"zh_CN", 2052}, {"zh_HK", 3076}, {"zh_SG", 4100}, {"zh_MO", 5124},
    {"cs_CZ", 1029}, {"da_DK", 1030}, {"de_DE", 1031}, {"de_CH", 2055}, {"de_AT", 3079}, {"de_LU", 4103},
    {"de_LI", 5127}, {"el_GR", 1032},
    {"en_US", 1033}, {"en_GB", 2057}, {"en_AU", 3081}, {"en_CA", 4105}, {"en_NZ", 5129}, {"en_IE", 6153},
    {"en_ZA", 7177}, {"en_IN", 16393},
    {"es_ES", 3082}, {"es_MX", 2058}, {"es_GT", 4106}, {"es_CR", 5130}, {"es_PA", 6154}, {"es_DO", 7178},
    {"es_VE", 8202}, {"es_CO", 9226}, {"es_PE", 10250}, {"es_AR", 11274}, {"es_EC", 12298}, {"es_CL", 13322},
    {"es_UY", 14346}, {"es_PY", 15370}, {"es_BO", 16394}, {"es_SV", 17418}, {"es_HN", 18442}, {"es_NI", 19466},
    {"es_PR", 20490}, {"es_US", 21514},
    {"fi_FI", 1035}, {"fr_FR", 1036}, {"fr_BE", 2060}, {"fr_CA", 3084}, {"fr_CH", 4108}, {"fr_LU", 5132},
    {"fr_MC", 6156}, {"he_IL", 1037}, {"hu_HU", 1038}, {"it_IT", 1040}, {"it_CH", 2064}, {"ja_JP", 1041},
    {"ko_KR", 1042}, {"nl_NL", 1043}, {"nl_BE", 2067}, {"nb_NO", 1044}, {"pl_PL", 1045}, {"pt_BR", 1046},
    {"pt_PT", 2070}, {"ro_RO", 1048}, {"ro_MD", 2072}, {"ru_RU", 1049}, {"ru_MD", 2073}, {"sv_SE", 1053},
    {"sv_FI", 2077}, {"th_TH", 1054}, {"tr_TR", 1055}, {"id_ID", 1057}, {"uk_UA", 1058}, {"vi_VN", 1066},
    // neutral languages
    {"ar", 1}, {"zh", 4}, {"cs", 5}, {"da", 6}, {"de", 7}, {"el", 8}, {"en", 9}, {"es", 10}, {"fi", 11},
    {"fr", 12}, {"he", 13}, {"hu", 14}, {"it", 16}, {"ja", 17}, {"ko", 18}, {"nl", 19}, {"no", 20}, {"nb", 20},
    {"pl", 21}, {"pt", 22}, {"ro", 24}, {"ru", 25}, {"sv", 29}, {"th", 30}, {"tr", 31}, {"id", 33},
    {"uk", 34}, {"vi", 42},
};

std::string Reduce(const std::string& name) {
  size_t end = name.find_first_of(".@");
  return name.substr(0, end);
}

uint32_t Find(std::string_view key) {
  for (const auto& e : kTable) {
    if (e.name == key) return e.lcid;
  }
  return 0;
}

std::string EnvLocaleName() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) return v;
  }
  return std::string();
}

}  // namespace

uint32_t LcidFromLocaleName(const std::string& name) {
  std::string reduced = Reduce(name);
  if (uint32_t id = Find(reduced)) return id;
  std::string lang = reduced.substr(0, reduced.find('_'));
  if (uint32_t id = Find(lang)) return id;
  return 1033;
}

uint32_t UserDefaultLcid() { return LcidFromLocaleName(EnvLocaleName()); }

uint32_t SystemDefaultLcid() {
  std::ifstream in(Sysroot() + "etc/default/locale");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 5, "LANG=") != 0) continue;
    std::string v = line.substr(5);
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    if (!v.empty()) return LcidFromLocaleName(v);
  }
  return UserDefaultLcid();
}

}  // namespace platform
