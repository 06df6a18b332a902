#include "card/card_records.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/utf.h"

namespace talvex {
namespace {

struct Row {
  const char16_t* key;
  const char16_t* name;
};

// The country table as it is printed, four rows to a line: each line holds
// one row from each quarter of the table.
const Row kExpected[] = {
    {u"ABW", u"阿鲁巴"},
    {u"DOM", u"多米尼加共和国"},
    {u"LBR", u"利比里亚"},
    {u"ROM", u"罗马尼亚"},
    {u"AFG", u"阿富汗"},
    {u"DZA", u"阿尔及利亚"},
    {u"LBY", u"利比亚"},
    {u"RUS", u"俄罗斯联邦"},
    {u"AGO", u"安哥拉"},
    {u"ECU", u"厄瓜多尔"},
    {u"LCA", u"圣卢西亚"},
    {u"RWA", u"卢旺达"},
    {u"AIA", u"安圭拉"},
    {u"EGY", u"埃及"},
    {u"LIE", u"列支敦士登"},
    {u"SAU", u"沙特阿拉伯"},
    {u"ALB", u"阿尔巴尼亚"},
    {u"ERI", u"厄立特里亚"},
    {u"LKA", u"斯里兰卡"},
    {u"SDN", u"苏丹"},
    {u"AND", u"安道尔"},
    {u"ESH", u"西撒哈拉"},
    {u"LSO", u"莱索托"},
    {u"SEN", u"塞内加尔"},
    {u"ANT", u"荷属安的列斯"},
    {u"ESP", u"西班牙"},
    {u"LTU", u"立陶宛"},
    {u"SGP", u"新加坡"},
    {u"ARE", u"阿联酋"},
    {u"EST", u"爱沙尼亚"},
    {u"LUX", u"卢森堡"},
    {u"SGS", u"南乔治亚岛和南桑德韦奇岛"},
    {u"ARG", u"阿根廷"},
    {u"ETH", u"埃塞俄比亚"},
    {u"LVA", u"拉脱维亚"},
    {u"SHN", u"圣赫勒拿"},
    {u"ARM", u"亚美尼亚"},
    {u"FIN", u"芬兰"},
    {u"MAC", u"澳门"},
    {u"SJM", u"斯瓦尔巴群岛"},
    {u"ASM", u"美属萨摩亚"},
    {u"FJI", u"斐济"},
    {u"MAR", u"摩洛哥"},
    {u"SLB", u"所罗门群岛"},
    {u"ATA", u"南极洲"},
    {u"FLK", u"福克兰群岛(马尔维纳斯)"},
    {u"MCO", u"摩纳哥"},
    {u"SLE", u"塞拉利昂"},
    {u"ATF", u"法属南部领土"},
    {u"FRA", u"法国"},
    {u"MDA", u"摩尔多瓦"},
    {u"SLV", u"萨尔瓦多"},
    {u"ATG", u"安提瓜和巴布达"},
    {u"FRO", u"法罗群岛"},
    {u"MDG", u"马达加斯加"},
    {u"SMR", u"圣马力诺"},
    {u"AUS", u"澳大利亚"},
    {u"FSM", u"密克罗尼西亚联邦"},
    {u"MDV", u"马尔代夫"},
    {u"SOM", u"索马里"},
    {u"AUT", u"奥地利"},
    {u"GAB", u"加蓬"},
    {u"MEX", u"墨西哥"},
    {u"SPM", u"圣皮埃尔和密克隆"},
    {u"AZE", u"阿塞拜疆"},
    {u"GBR", u"英国"},
    {u"MHL", u"马绍尔群岛"},
    {u"STP", u"圣多美和普林西比"},
    {u"BDI", u"布隆迪"},
    {u"GEO", u"格鲁吉亚"},
    {u"MKD", u"前南马其顿"},
    {u"SUR", u"苏里南"},
    {u"BEL", u"比利时"},
    {u"GHA", u"加纳"},
    {u"MLI", u"马里"},
    {u"SVK", u"斯洛伐克"},
    {u"BEN", u"贝宁"},
    {u"GIB", u"直布罗陀"},
    {u"MLT", u"马耳他"},
    {u"SVN", u"斯洛文尼亚"},
    {u"BFA", u"布基纳法索"},
    {u"GIN", u"几内亚"},
    {u"MMR", u"缅甸"},
    {u"SWE", u"瑞典"},
    {u"BGD", u"孟加拉国"},
    {u"GLP", u"瓜德罗普"},
    {u"MNG", u"蒙古"},
    {u"SWZ", u"斯威士兰"},
    {u"BGR", u"保加利亚"},
    {u"GMB", u"冈比亚Gambia"},
    {u"MNP", u"北马里亚纳"},
    {u"SYC", u"塞舌尔"},
    {u"BHR", u"巴林"},
    {u"GNB", u"几内亚比绍"},
    {u"MOZ", u"莫桑比克"},
    {u"SYR", u"叙利亚"},
    {u"BHS", u"巴哈马"},
    {u"GNQ", u"赤道几内亚"},
    {u"MRT", u"毛里塔尼亚"},
    {u"TCA", u"特克斯科斯群岛"},
    {u"BIH", u"波黑"},
    {u"GRC", u"希腊"},
    {u"MSR", u"蒙特塞拉特"},
    {u"TCD", u"乍得"},
    {u"BLR", u"白俄罗斯"},
    {u"GRD", u"格林纳达"},
    {u"MTQ", u"马提尼克"},
    {u"TGO", u"多哥"},
    {u"BLZ", u"伯利兹"},
    {u"GRL", u"格陵兰"},
    {u"MUS", u"毛里求斯"},
    {u"THA", u"泰国"},
    {u"BMU", u"百慕大"},
    {u"GTM", u"危地马拉"},
    {u"MWI", u"马拉维"},
    {u"TJK", u"塔吉克斯坦"},
    {u"BOL", u"玻利维亚"},
    {u"GUF", u"法属圭亚那"},
    {u"MYS", u"马来西亚"},
    {u"TKL", u"托克劳"},
    {u"BRA", u"巴西"},
    {u"GUM", u"关岛"},
    {u"MYT", u"马约特"},
    {u"TKM", u"土库曼斯坦"},
    {u"BRB", u"巴巴多斯"},
    {u"GUY", u"圭亚那"},
    {u"NAM", u"纳米比亚"},
    {u"TMP", u"东帝汶"},
    {u"BRN", u"文莱"},
    {u"HKG", u"香港"},
    {u"NCL", u"新喀里多尼亚"},
    {u"TON", u"汤加"},
    {u"BTN", u"不丹"},
    {u"HMD", u"赫德岛和麦克唐纳岛"},
    {u"NER", u"尼日尔"},
    {u"TTO", u"特立尼达和多巴哥"},
    {u"BVT", u"布维岛"},
    {u"HND", u"洪都拉斯"},
    {u"NFK", u"诺福克岛"},
    {u"TUN", u"突尼斯"},
    {u"BWA", u"博茨瓦纳"},
    {u"HRV", u"克罗地亚"},
    {u"NGA", u"尼日利亚"},
    {u"TUR", u"土耳其"},
    {u"CAF", u"中非"},
    {u"HTI", u"海地"},
    {u"NIC", u"尼加拉瓜"},
    {u"TUV", u"图瓦卢"},
    {u"CAN", u"加拿大"},
    {u"HUN", u"匈牙利"},
    {u"NIU", u"纽埃"},
    {u"TWN", u"台湾"},
    {u"CCK", u"科科斯(基林)群岛"},
    {u"IDN", u"印度尼西亚"},
    {u"NLD", u"荷兰"},
    {u"TZA", u"坦桑尼亚"},
    {u"CHE", u"瑞士"},
    {u"IND", u"印度"},
    {u"NOR", u"挪威"},
    {u"UGA", u"乌干达"},
    {u"CHL", u"智利"},
    {u"IOT", u"英属印度洋领土"},
    {u"NPL", u"尼泊尔"},
    {u"UKR", u"乌克兰"},
    {u"CHN", u"中国"},
    {u"IRL", u"爱尔兰"},
    {u"NRU", u"瑙鲁"},
    {u"UMI", u"美国本土外小岛屿"},
    {u"CIV", u"科特迪瓦"},
    {u"IRN", u"伊朗"},
    {u"NZL", u"新西兰"},
    {u"URY", u"乌拉圭"},
    {u"CMR", u"喀麦隆"},
    {u"IRQ", u"伊拉克"},
    {u"OMN", u"阿曼"},
    {u"USA", u"美国"},
    {u"COD", u"刚果（金）"},
    {u"ISL", u"冰岛"},
    {u"PAK", u"巴基斯坦"},
    {u"UZB", u"乌兹别克斯坦"},
    {u"COG", u"刚果（布）"},
    {u"ISR", u"以色列"},
    {u"PAN", u"巴拿马"},
    {u"VAT", u"梵蒂冈"},
    {u"COK", u"库克群岛"},
    {u"ITA", u"意大利"},
    {u"PCN", u"皮特凯恩群岛"},
    {u"VCT", u"圣文森特和格林纳丁斯"},
    {u"COL", u"哥伦比亚"},
    {u"JAM", u"牙买加"},
    {u"PER", u"秘鲁"},
    {u"VEN", u"委内瑞拉"},
    {u"COM", u"科摩罗"},
    {u"JOR", u"约旦"},
    {u"PHL", u"菲律宾"},
    {u"VGB", u"英属维尔京群岛"},
    {u"CPV", u"佛得角"},
    {u"JPN", u"日本"},
    {u"PLW", u"帕劳"},
    {u"VIR", u"美属维尔京群岛"},
    {u"CRI", u"哥斯达黎加"},
    {u"KAZ", u"哈萨克斯坦"},
    {u"PNG", u"巴布亚新几内亚"},
    {u"VNM", u"越南"},
    {u"CSR", u"圣诞岛"},
    {u"KEN", u"肯尼亚"},
    {u"POL", u"波兰"},
    {u"VUT", u"瓦努阿图"},
    {u"CUB", u"古巴"},
    {u"KGZ", u"吉尔吉斯斯坦"},
    {u"PRI", u"波多黎各"},
    {u"WLF", u"瓦利斯和富图纳"},
    {u"CYM", u"开曼群岛"},
    {u"KHM", u"柬埔寨"},
    {u"PRK", u"朝鲜"},
    {u"WSM", u"萨摩亚"},
    {u"CYP", u"塞浦路斯"},
    {u"KIR", u"基里巴斯"},
    {u"PRT", u"葡萄牙"},
    {u"YEM", u"也门"},
    {u"CZE", u"捷克"},
    {u"KNA", u"圣基茨和尼维斯"},
    {u"PRY", u"巴拉圭"},
    {u"YUG", u"南斯拉夫"},
    {u"DEU", u"德国"},
    {u"KOR", u"韩国"},
    {u"PST", u"巴勒斯坦"},
    {u"ZAF", u"南非"},
    {u"DJI", u"吉布提"},
    {u"KWT", u"科威特"},
    {u"PYF", u"法属波利尼西亚"},
    {u"ZMB", u"赞比亚"},
    {u"DMA", u"多米尼克"},
    {u"LAO", u"老挝"},
    {u"QAT", u"卡塔尔"},
    {u"ZWE", u"津巴布韦"},
    {u"DNK", u"丹麦"},
    {u"LBN", u"黎巴嫩"},
    {u"REU", u"留尼汪"},
};

std::u16string Country(const std::u16string& code) {
  char16_t out[kCountryNameCapacity];
  for (auto& c : out) c = u'#';
  LookupCountryName(out, code.c_str());
  return out;
}

TEST(CountryTable, EveryRowIsFoundByItsKey) {
  ASSERT_EQ(std::size(kExpected), 239u);
  std::set<std::u16string> keys;
  for (const Row& row : kExpected) {
    keys.insert(row.key);
    EXPECT_EQ(Country(row.key), row.name) << "key " << Utf16ToUtf8(row.key);
  }
  EXPECT_EQ(keys.size(), 239u);
}

TEST(CountryTable, NearMissKeysAreNotFound) {
  for (const char16_t* code :
       {u"usa", u"Usa", u"USA ", u" USA", u"US", u"USAA", u"CXR", u"PSE", u"ROU", u"TLS", u"SRB",
        u"", u"AAA", u"ZZZ", u"ABV", u"ZWF", u"A", u"ZWEX", u"ÄBW"}) {
    EXPECT_EQ(Country(code), u"") << "code " << Utf16ToUtf8(code);
  }
}

TEST(CountryTable, ChangedAndOwnCodesAreFound) {
  EXPECT_EQ(Country(u"ROM"), u"罗马尼亚");
  EXPECT_EQ(Country(u"TMP"), u"东帝汶");
  EXPECT_EQ(Country(u"YUG"), u"南斯拉夫");
  EXPECT_EQ(Country(u"ANT"), u"荷属安的列斯");
  EXPECT_EQ(Country(u"CSR"), u"圣诞岛");
  EXPECT_EQ(Country(u"PST"), u"巴勒斯坦");
  EXPECT_EQ(Country(u"ABW"), u"阿鲁巴");
  EXPECT_EQ(Country(u"ZWE"), u"津巴布韦");
}

}  // namespace
}  // namespace talvex
