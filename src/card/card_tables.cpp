// The nation table of the resident identity card and the country table of
// the foreign permanent resident card, with their lookups.
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "card/card_records.h"

namespace talvex {
namespace {

constexpr std::size_t Length(const char16_t* s) {
  std::size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

// Compares two NUL-terminated strings unit by unit as unsigned 16-bit values.
constexpr int Compare(const char16_t* a, const char16_t* b) {
  std::size_t i = 0;
  while (a[i] != 0 && a[i] == b[i]) ++i;
  if (a[i] == b[i]) return 0;
  return a[i] < b[i] ? -1 : 1;
}

template <std::size_t N>
void CopyString(char16_t (&out)[N], const char16_t* s) {
  std::size_t i = 0;
  for (; i + 1 < N && s[i] != 0; ++i) out[i] = s[i];
  out[i] = 0;
}

struct NationRow {
  std::int32_t code;
  const char16_t* name;
};

constexpr NationRow kNations[] = {
    {1, u"汉"},      {2, u"蒙古"},    {3, u"回"},        {4, u"藏"},        {5, u"维吾尔"},
    {6, u"苗"},      {7, u"彝"},      {8, u"壮"},        {9, u"布依"},      {10, u"朝鲜"},
    {11, u"满"},     {12, u"侗"},     {13, u"瑶"},       {14, u"白"},       {15, u"土家"},
    {16, u"哈尼"},   {17, u"哈萨克"}, {18, u"傣"},       {19, u"黎"},       {20, u"傈僳"},
    {21, u"佤"},     {22, u"畲"},     {23, u"高山"},     {24, u"拉祜"},     {25, u"水"},
    {26, u"东乡"},   {27, u"纳西"},   {28, u"景颇"},     {29, u"柯尔克孜"}, {30, u"土"},
    {31, u"达斡尔"}, {32, u"仫佬"},   {33, u"羌"},       {34, u"布朗"},     {35, u"撒拉"},
    {36, u"毛南"},   {37, u"仡佬"},   {38, u"锡伯"},     {39, u"阿昌"},     {40, u"普米"},
    {41, u"塔吉克"}, {42, u"怒"},     {43, u"乌孜别克"}, {44, u"俄罗斯"},   {45, u"鄂温克"},
    {46, u"德昂"},   {47, u"保安"},   {48, u"裕固"},     {49, u"京"},       {50, u"塔塔尔"},
    {51, u"独龙"},   {52, u"鄂伦春"}, {53, u"赫哲"},     {54, u"门巴"},     {55, u"珞巴"},
    {56, u"基诺"},
};

constexpr const char16_t* kForeignOrigin = u"外国血统中国籍人士";  // code 98
constexpr const char16_t* kOtherNation = u"其他";

// Row i holds code i + 1, every name is distinct and fits the 10-unit buffer.
constexpr bool NationTableIsSound() {
  constexpr std::size_t n = std::size(kNations);
  for (std::size_t i = 0; i < n; ++i) {
    if (kNations[i].code != static_cast<std::int32_t>(i + 1)) return false;
    if (Length(kNations[i].name) == 0 || Length(kNations[i].name) >= kNationNameCapacity) {
      return false;
    }
    for (std::size_t j = i + 1; j < n; ++j) {
      if (Compare(kNations[i].name, kNations[j].name) == 0) return false;
    }
    if (Compare(kNations[i].name, kForeignOrigin) == 0) return false;
    if (Compare(kNations[i].name, kOtherNation) == 0) return false;
  }
  return Length(kForeignOrigin) < kNationNameCapacity && Length(kOtherNation) < kNationNameCapacity;
}
static_assert(std::size(kNations) == 56, "the nation table names codes 1 to 56");
static_assert(NationTableIsSound(), "nation table: codes 1..56 in order, distinct names that fit");

struct CountryRow {
  const char16_t* key;
  const char16_t* name;
};

// Sorted by key (unsigned unit order). The keys are the older three-letter
// codes, with the table's own CSR (Christmas Island) and PST (Palestine).
constexpr CountryRow kCountries[] = {
    {u"ABW", u"阿鲁巴"},
    {u"AFG", u"阿富汗"},
    {u"AGO", u"安哥拉"},
    {u"AIA", u"安圭拉"},
    {u"ALB", u"阿尔巴尼亚"},
    {u"AND", u"安道尔"},
    {u"ANT", u"荷属安的列斯"},
    {u"ARE", u"阿联酋"},
    {u"ARG", u"阿根廷"},
    {u"ARM", u"亚美尼亚"},
    {u"ASM", u"美属萨摩亚"},
    {u"ATA", u"南极洲"},
    {u"ATF", u"法属南部领土"},
    {u"ATG", u"安提瓜和巴布达"},
    {u"AUS", u"澳大利亚"},
    {u"AUT", u"奥地利"},
    {u"AZE", u"阿塞拜疆"},
    {u"BDI", u"布隆迪"},
    {u"BEL", u"比利时"},
    {u"BEN", u"贝宁"},
    {u"BFA", u"布基纳法索"},
    {u"BGD", u"孟加拉国"},
    {u"BGR", u"保加利亚"},
    {u"BHR", u"巴林"},
    {u"BHS", u"巴哈马"},
    {u"BIH", u"波黑"},
    {u"BLR", u"白俄罗斯"},
    {u"BLZ", u"伯利兹"},
    {u"BMU", u"百慕大"},
    {u"BOL", u"玻利维亚"},
    {u"BRA", u"巴西"},
    {u"BRB", u"巴巴多斯"},
    {u"BRN", u"文莱"},
    {u"BTN", u"不丹"},
    {u"BVT", u"布维岛"},
    {u"BWA", u"博茨瓦纳"},
    {u"CAF", u"中非"},
    {u"CAN", u"加拿大"},
    {u"CCK", u"科科斯(基林)群岛"},
    {u"CHE", u"瑞士"},
    {u"CHL", u"智利"},
    {u"CHN", u"中国"},
    {u"CIV", u"科特迪瓦"},
    {u"CMR", u"喀麦隆"},
    {u"COD", u"刚果（金）"},
    {u"COG", u"刚果（布）"},
    {u"COK", u"库克群岛"},
    {u"COL", u"哥伦比亚"},
    {u"COM", u"科摩罗"},
    {u"CPV", u"佛得角"},
    {u"CRI", u"哥斯达黎加"},
    {u"CSR", u"圣诞岛"},
    {u"CUB", u"古巴"},
    {u"CYM", u"开曼群岛"},
    {u"CYP", u"塞浦路斯"},
    {u"CZE", u"捷克"},
    {u"DEU", u"德国"},
    {u"DJI", u"吉布提"},
    {u"DMA", u"多米尼克"},
    {u"DNK", u"丹麦"},
    {u"DOM", u"多米尼加共和国"},
    {u"DZA", u"阿尔及利亚"},
    {u"ECU", u"厄瓜多尔"},
    {u"EGY", u"埃及"},
    {u"ERI", u"厄立特里亚"},
    {u"ESH", u"西撒哈拉"},
    {u"ESP", u"西班牙"},
    {u"EST", u"爱沙尼亚"},
    {u"ETH", u"埃塞俄比亚"},
    {u"FIN", u"芬兰"},
    {u"FJI", u"斐济"},
    {u"FLK", u"福克兰群岛(马尔维纳斯)"},
    {u"FRA", u"法国"},
    {u"FRO", u"法罗群岛"},
    {u"FSM", u"密克罗尼西亚联邦"},
    {u"GAB", u"加蓬"},
    {u"GBR", u"英国"},
    {u"GEO", u"格鲁吉亚"},
    {u"GHA", u"加纳"},
    {u"GIB", u"直布罗陀"},
    {u"GIN", u"几内亚"},
    {u"GLP", u"瓜德罗普"},
    {u"GMB", u"冈比亚Gambia"},
    {u"GNB", u"几内亚比绍"},
    {u"GNQ", u"赤道几内亚"},
    {u"GRC", u"希腊"},
    {u"GRD", u"格林纳达"},
    {u"GRL", u"格陵兰"},
    {u"GTM", u"危地马拉"},
    {u"GUF", u"法属圭亚那"},
    {u"GUM", u"关岛"},
    {u"GUY", u"圭亚那"},
    {u"HKG", u"香港"},
    {u"HMD", u"赫德岛和麦克唐纳岛"},
    {u"HND", u"洪都拉斯"},
    {u"HRV", u"克罗地亚"},
    {u"HTI", u"海地"},
    {u"HUN", u"匈牙利"},
    {u"IDN", u"印度尼西亚"},
    {u"IND", u"印度"},
    {u"IOT", u"英属印度洋领土"},
    {u"IRL", u"爱尔兰"},
    {u"IRN", u"伊朗"},
    {u"IRQ", u"伊拉克"},
    {u"ISL", u"冰岛"},
    {u"ISR", u"以色列"},
    {u"ITA", u"意大利"},
    {u"JAM", u"牙买加"},
    {u"JOR", u"约旦"},
    {u"JPN", u"日本"},
    {u"KAZ", u"哈萨克斯坦"},
    {u"KEN", u"肯尼亚"},
    {u"KGZ", u"吉尔吉斯斯坦"},
    {u"KHM", u"柬埔寨"},
    {u"KIR", u"基里巴斯"},
    {u"KNA", u"圣基茨和尼维斯"},
    {u"KOR", u"韩国"},
    {u"KWT", u"科威特"},
    {u"LAO", u"老挝"},
    {u"LBN", u"黎巴嫩"},
    {u"LBR", u"利比里亚"},
    {u"LBY", u"利比亚"},
    {u"LCA", u"圣卢西亚"},
    {u"LIE", u"列支敦士登"},
    {u"LKA", u"斯里兰卡"},
    {u"LSO", u"莱索托"},
    {u"LTU", u"立陶宛"},
    {u"LUX", u"卢森堡"},
    {u"LVA", u"拉脱维亚"},
    {u"MAC", u"澳门"},
    {u"MAR", u"摩洛哥"},
    {u"MCO", u"摩纳哥"},
    {u"MDA", u"摩尔多瓦"},
    {u"MDG", u"马达加斯加"},
    {u"MDV", u"马尔代夫"},
    {u"MEX", u"墨西哥"},
    {u"MHL", u"马绍尔群岛"},
    {u"MKD", u"前南马其顿"},
    {u"MLI", u"马里"},
    {u"MLT", u"马耳他"},
    {u"MMR", u"缅甸"},
    {u"MNG", u"蒙古"},
    {u"MNP", u"北马里亚纳"},
    {u"MOZ", u"莫桑比克"},
    {u"MRT", u"毛里塔尼亚"},
    {u"MSR", u"蒙特塞拉特"},
    {u"MTQ", u"马提尼克"},
    {u"MUS", u"毛里求斯"},
    {u"MWI", u"马拉维"},
    {u"MYS", u"马来西亚"},
    {u"MYT", u"马约特"},
    {u"NAM", u"纳米比亚"},
    {u"NCL", u"新喀里多尼亚"},
    {u"NER", u"尼日尔"},
    {u"NFK", u"诺福克岛"},
    {u"NGA", u"尼日利亚"},
    {u"NIC", u"尼加拉瓜"},
    {u"NIU", u"纽埃"},
    {u"NLD", u"荷兰"},
    {u"NOR", u"挪威"},
    {u"NPL", u"尼泊尔"},
    {u"NRU", u"瑙鲁"},
    {u"NZL", u"新西兰"},
    {u"OMN", u"阿曼"},
    {u"PAK", u"巴基斯坦"},
    {u"PAN", u"巴拿马"},
    {u"PCN", u"皮特凯恩群岛"},
    {u"PER", u"秘鲁"},
    {u"PHL", u"菲律宾"},
    {u"PLW", u"帕劳"},
    {u"PNG", u"巴布亚新几内亚"},
    {u"POL", u"波兰"},
    {u"PRI", u"波多黎各"},
    {u"PRK", u"朝鲜"},
    {u"PRT", u"葡萄牙"},
    {u"PRY", u"巴拉圭"},
    {u"PST", u"巴勒斯坦"},
    {u"PYF", u"法属波利尼西亚"},
    {u"QAT", u"卡塔尔"},
    {u"REU", u"留尼汪"},
    {u"ROM", u"罗马尼亚"},
    {u"RUS", u"俄罗斯联邦"},
    {u"RWA", u"卢旺达"},
    {u"SAU", u"沙特阿拉伯"},
    {u"SDN", u"苏丹"},
    {u"SEN", u"塞内加尔"},
    {u"SGP", u"新加坡"},
    {u"SGS", u"南乔治亚岛和南桑德韦奇岛"},
    {u"SHN", u"圣赫勒拿"},
    {u"SJM", u"斯瓦尔巴群岛"},
    {u"SLB", u"所罗门群岛"},
    {u"SLE", u"塞拉利昂"},
    {u"SLV", u"萨尔瓦多"},
    {u"SMR", u"圣马力诺"},
    {u"SOM", u"索马里"},
    {u"SPM", u"圣皮埃尔和密克隆"},
    {u"STP", u"圣多美和普林西比"},
    {u"SUR", u"苏里南"},
    {u"SVK", u"斯洛伐克"},
    {u"SVN", u"斯洛文尼亚"},
    {u"SWE", u"瑞典"},
    {u"SWZ", u"斯威士兰"},
    {u"SYC", u"塞舌尔"},
    {u"SYR", u"叙利亚"},
    {u"TCA", u"特克斯科斯群岛"},
    {u"TCD", u"乍得"},
    {u"TGO", u"多哥"},
    {u"THA", u"泰国"},
    {u"TJK", u"塔吉克斯坦"},
    {u"TKL", u"托克劳"},
    {u"TKM", u"土库曼斯坦"},
    {u"TMP", u"东帝汶"},
    {u"TON", u"汤加"},
    {u"TTO", u"特立尼达和多巴哥"},
    {u"TUN", u"突尼斯"},
    {u"TUR", u"土耳其"},
    {u"TUV", u"图瓦卢"},
    {u"TWN", u"台湾"},
    {u"TZA", u"坦桑尼亚"},
    {u"UGA", u"乌干达"},
    {u"UKR", u"乌克兰"},
    {u"UMI", u"美国本土外小岛屿"},
    {u"URY", u"乌拉圭"},
    {u"USA", u"美国"},
    {u"UZB", u"乌兹别克斯坦"},
    {u"VAT", u"梵蒂冈"},
    {u"VCT", u"圣文森特和格林纳丁斯"},
    {u"VEN", u"委内瑞拉"},
    {u"VGB", u"英属维尔京群岛"},
    {u"VIR", u"美属维尔京群岛"},
    {u"VNM", u"越南"},
    {u"VUT", u"瓦努阿图"},
    {u"WLF", u"瓦利斯和富图纳"},
    {u"WSM", u"萨摩亚"},
    {u"YEM", u"也门"},
    {u"YUG", u"南斯拉夫"},
    {u"ZAF", u"南非"},
    {u"ZMB", u"赞比亚"},
    {u"ZWE", u"津巴布韦"},
};

constexpr std::size_t kCountryCount = 239;
static_assert(std::size(kCountries) == kCountryCount, "the country table has 239 rows");

// Keys are three capital letters, strictly ascending (so none repeats);
// names are non-empty and leave room for "/" and the code in the 20-unit
// nationality text.
constexpr bool CountryTableIsSound() {
  for (std::size_t i = 0; i < std::size(kCountries); ++i) {
    const char16_t* key = kCountries[i].key;
    if (Length(key) != 3) return false;
    for (std::size_t k = 0; k < 3; ++k) {
      if (key[k] < u'A' || key[k] > u'Z') return false;
    }
    std::size_t nameLength = Length(kCountries[i].name);
    if (nameLength == 0 || nameLength > 12) return false;
    if (i > 0 && Compare(kCountries[i - 1].key, key) >= 0) return false;
  }
  return true;
}
static_assert(CountryTableIsSound(),
              "country table: sorted unique 3-letter keys, names of 1..12 units");

}  // namespace

void LookupNationName(std::int32_t code, char16_t (&out)[kNationNameCapacity]) {
  const char16_t* name = kOtherNation;
  if (code >= 1 && code <= 56) {
    name = kNations[code - 1].name;
  } else if (code == 98) {
    name = kForeignOrigin;
  }
  CopyString(out, name);
}

void LookupCountryName(char16_t (&out)[kCountryNameCapacity], const char16_t* code) {
  out[0] = 0;
  std::int32_t lo = 0;
  std::int32_t hi = static_cast<std::int32_t>(kCountryCount) - 1;
  while (lo <= hi) {
    std::int32_t mid = lo + (hi - lo) / 2;
    int order = Compare(kCountries[mid].key, code);
    if (order < 0) {
      lo = mid + 1;
    } else if (order > 0) {
      hi = mid - 1;
    } else {
      CopyString(out, kCountries[mid].name);
      return;
    }
  }
}

}  // namespace talvex
