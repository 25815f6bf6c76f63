#include "common/additional.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/testing/temp_dir.h"
#include "kinoro/root.h"
#include "tests/fakes/fake_videodb.h"

namespace {

using kinoro_testing::ScopedRootFile;
using LibKinoro::db::api::AbstractVideoAPI;
using LibKinoro::db::api::BaseVideoAPI;
using LibKinoro::db::api::CollectionAPI;
using LibKinoro::db::api::EpisodeAPI;
using LibKinoro::db::api::MovieAPI;
using LibKinoro::db::api::VideoAPI;

constexpr char kSettingsPath[] = KINORO_PATH("/var/packages/Kinoro/etc/advanced.conf");
constexpr char kRuleSettings[] = R"({"cmzvideo_cover": true, "cmzvideo_cover_rule": "RULE"})";

// The names of the switches that are on, read from every switch the class
// has (bases included), so a switch turned on by mistake shows.
#define KINORO_SWITCH(name) {#name, api.name}

template <typename Api>
std::set<std::string> OnSwitches(const Api& api) {
  constexpr bool kCollection = std::is_same_v<Api, CollectionAPI>;
  std::vector<std::pair<const char*, bool>> all = {KINORO_SWITCH(with_poster_mtime),
                                                   KINORO_SWITCH(with_backdrop_mtime),
                                                   KINORO_SWITCH(with_summary)};
  if constexpr (std::is_base_of_v<BaseVideoAPI, Api> || kCollection) {
    all.insert(all.end(), {KINORO_SWITCH(with_collection), KINORO_SWITCH(with_file),
                           KINORO_SWITCH(with_watched_ratio),
                           KINORO_SWITCH(with_conversion_produced)});
  }
  if constexpr (std::is_base_of_v<VideoAPI, Api> || kCollection) {
    all.insert(all.end(), {KINORO_SWITCH(with_actor), KINORO_SWITCH(with_director),
                           KINORO_SWITCH(with_genre), KINORO_SWITCH(with_writer),
                           KINORO_SWITCH(with_extra)});
  }
  if constexpr (std::is_same_v<Api, EpisodeAPI>) {
    all.push_back(KINORO_SWITCH(with_tvshow_summary));
  }
  if constexpr (kCollection) {
    all.insert(all.end(), {KINORO_SWITCH(with_sharing_info), KINORO_SWITCH(with_filter_info)});
  }
  std::set<std::string> on;
  for (const auto& entry : all) {
    if (entry.second) on.insert(entry.first);
  }
  return on;
}

#undef KINORO_SWITCH

std::set<std::string> Set(const char* name) {
  return name ? std::set<std::string>{name} : std::set<std::string>{};
}

// Key by class: the switch it turns on, or null when the class ignores it.
struct KeyRow {
  const char* key;
  const char* abstract_video;
  const char* base_video;
  const char* video;  // and MovieAPI
  const char* episode;
  const char* collection;
};

const KeyRow kKeyTable[] = {
    {"summary", "with_summary", "with_summary", "with_summary", "with_summary", "with_summary"},
    {"poster_mtime", "with_poster_mtime", "with_poster_mtime", "with_poster_mtime",
     "with_poster_mtime", "with_poster_mtime"},
    {"backdrop_mtime", "with_backdrop_mtime", "with_backdrop_mtime", "with_backdrop_mtime",
     "with_backdrop_mtime", "with_backdrop_mtime"},
    {"file", nullptr, "with_file", "with_file", "with_file", "with_file"},
    {"collection", nullptr, "with_collection", "with_collection", "with_collection",
     "with_collection"},
    {"watched_ratio", nullptr, "with_watched_ratio", "with_watched_ratio", "with_watched_ratio",
     "with_watched_ratio"},
    {"conversion_produced", nullptr, "with_conversion_produced", "with_conversion_produced",
     "with_conversion_produced", "with_conversion_produced"},
    {"actor", nullptr, nullptr, "with_actor", "with_actor", "with_actor"},
    {"director", nullptr, nullptr, "with_director", "with_director", "with_director"},
    {"genre", nullptr, nullptr, "with_genre", "with_genre", "with_genre"},
    {"writer", nullptr, nullptr, "with_writer", "with_writer", "with_writer"},
    {"extra", nullptr, nullptr, "with_extra", "with_extra", "with_extra"},
    {"tvshow_summary", nullptr, nullptr, nullptr, "with_tvshow_summary", nullptr},
    {"sharing_info", nullptr, nullptr, nullptr, nullptr, "with_sharing_info"},
    {"filter_info", nullptr, nullptr, nullptr, nullptr, "with_filter_info"},
    // Whole, case-sensitive keys only.
    {"Summary", nullptr, nullptr, nullptr, nullptr, nullptr},
    {"summary ", nullptr, nullptr, nullptr, nullptr, nullptr},
    {"with_summary", nullptr, nullptr, nullptr, nullptr, nullptr},
    {"poster", nullptr, nullptr, nullptr, nullptr, nullptr},
    {"", nullptr, nullptr, nullptr, nullptr, nullptr},
    {"no_such_key", nullptr, nullptr, nullptr, nullptr, nullptr},
};

class AdditionalTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::ResetWorld(); }
};

// Turns on `key` for a fresh object of class Api; the switches it turned on
// and the rules handed over through WithCoverRule.
template <typename Api>
std::pair<std::set<std::string>, std::vector<std::string>> TurnOn(const char* key) {
  fake::ResetWorld();
  Api api;
  Kinoro::webapi::TurnOnAdditional(key, api);
  return {OnSwitches(api), fake::World().with_cover_rule_calls};
}

TEST_F(AdditionalTest, EveryKeyForEveryClass) {
  ScopedRootFile settings(kSettingsPath, kRuleSettings);
  using Calls = std::vector<std::string>;
  for (const KeyRow& row : kKeyTable) {
    SCOPED_TRACE(std::string("key \"") + row.key + "\"");
    // The video classes get the rule through WithCoverRule, once per
    // "poster_mtime"; the abstract class gets none.
    const bool poster = std::string(row.key) == "poster_mtime";
    const Calls handed = poster ? Calls{"RULE"} : Calls{};
    EXPECT_EQ(TurnOn<AbstractVideoAPI>(row.key), std::make_pair(Set(row.abstract_video), Calls{}));
    EXPECT_EQ(TurnOn<BaseVideoAPI>(row.key), std::make_pair(Set(row.base_video), handed));
    EXPECT_EQ(TurnOn<VideoAPI>(row.key), std::make_pair(Set(row.video), handed));
    EXPECT_EQ(TurnOn<MovieAPI>(row.key), std::make_pair(Set(row.video), handed));
    EXPECT_EQ(TurnOn<EpisodeAPI>(row.key), std::make_pair(Set(row.episode), handed));

    // A collection keeps the rule itself instead.
    fake::ResetWorld();
    CollectionAPI collection;
    collection.cover_rule = "before";
    Kinoro::webapi::TurnOnAdditional(row.key, collection);
    EXPECT_EQ(Set(row.collection), OnSwitches(collection));
    EXPECT_EQ(poster ? "RULE" : "before", collection.cover_rule);
    EXPECT_TRUE(fake::World().with_cover_rule_calls.empty());
  }
}

TEST_F(AdditionalTest, PosterWithoutRuleHandsOverTheEmptyString) {
  ScopedRootFile removed(kSettingsPath);
  VideoAPI video;
  Kinoro::webapi::TurnOnAdditional("poster_mtime", video);
  EXPECT_EQ(std::vector<std::string>{""}, fake::World().with_cover_rule_calls);
  EXPECT_TRUE(video.with_poster_mtime);

  CollectionAPI collection;
  collection.cover_rule = "stale";
  Kinoro::webapi::TurnOnAdditional("poster_mtime", collection);
  EXPECT_EQ("", collection.cover_rule);
}

TEST_F(AdditionalTest, EachPosterKeyRepeatsTheHandOver) {
  ScopedRootFile settings(kSettingsPath, kRuleSettings);
  EpisodeAPI api;
  EXPECT_TRUE(
      Kinoro::webapi::ProcessAdditional(R"(["poster_mtime", "summary", "poster_mtime"])", api));
  EXPECT_EQ((std::vector<std::string>{"RULE", "RULE"}), fake::World().with_cover_rule_calls);
  EXPECT_EQ("RULE", api.cover_rule());
}

// The text forms behave alike for every class; the cases use keys that all
// classes know, so the same expectations hold for each.
template <typename Api>
class ProcessAdditionalTextTest : public AdditionalTest {};

using TextFormClasses =
    ::testing::Types<AbstractVideoAPI, BaseVideoAPI, VideoAPI, MovieAPI, EpisodeAPI, CollectionAPI>;
TYPED_TEST_SUITE(ProcessAdditionalTextTest, TextFormClasses);

struct TextCase {
  const char* text;
  bool result;
  std::set<std::string> on;
};

TYPED_TEST(ProcessAdditionalTextTest, ParsesTheList) {
  const TextCase cases[] = {
      {"", true, {}},
      {"[]", true, {}},
      {R"(["summary"])", true, {"with_summary"}},
      {R"(["backdrop_mtime", "summary", "summary"])",
       true,
       {"with_summary", "with_backdrop_mtime"}},
      {"/* keys */ [\"summary\"] // trailing\n", true, {"with_summary"}},
      {R"(["Summary", "no_such_key"])", true, {}},
      // Malformed: what came before the bad element stays on.
      {R"(["summary", 5])", false, {"with_summary"}},
      {R"(["summary", null, "backdrop_mtime"])", false, {"with_summary"}},
      {R"(["summary", ["backdrop_mtime"]])", false, {"with_summary"}},
      {R"([5, "summary"])", false, {}},
      {R"({"summary": true})", false, {}},
      {R"("summary")", false, {}},
      {"summary", false, {}},
      {"[\"summary\"", false, {}},
      {"   ", false, {}},
      {"null", false, {}},
  };
  for (const TextCase& c : cases) {
    TypeParam api;
    EXPECT_EQ(c.result, Kinoro::webapi::ProcessAdditional(std::string(c.text), api)) << c.text;
    EXPECT_EQ(c.on, OnSwitches(api)) << c.text;
  }
}

TEST_F(AdditionalTest, ValueForm) {
  auto parse = [](const std::string& text) {
    Json::Value value;
    Json::Reader().parse(text, value);
    return value;
  };
  struct Case {
    const char* what;
    Json::Value list;
    bool result;
    std::set<std::string> on;
  } cases[] = {
      {"empty array", Json::Value(Json::arrayValue), true, {}},
      {"keys", parse(R"(["file", "genre", "tvshow_summary"])"), true, {"with_file", "with_genre"}},
      {"bad element after a good one", parse(R"(["extra", 5, "file"])"), false, {"with_extra"}},
      // No empty-text rule here: null is not a list.
      {"null", Json::Value(), false, {}},
      {"string", Json::Value("[\"file\"]"), false, {}},
      {"object", parse(R"({"file": 1})"), false, {}},
  };
  for (const Case& c : cases) {
    MovieAPI api;
    EXPECT_EQ(c.result, Kinoro::webapi::ProcessAdditional(c.list, api)) << c.what;
    EXPECT_EQ(c.on, OnSwitches(api)) << c.what;
  }
}

TEST_F(AdditionalTest, SwitchesAreNeverTurnedOff) {
  VideoAPI api;
  api.with_director = true;
  EXPECT_TRUE(Kinoro::webapi::ProcessAdditional(std::string(R"(["file"])"), api));
  EXPECT_EQ((std::set<std::string>{"with_director", "with_file"}), OnSwitches(api));
}

}  // namespace
