#include "common/additional.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
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

// The names of the switches that are on, read back through each class's own
// member list (bases included), so a switch turned on by mistake shows.
template <typename Api>
using SwitchList = std::vector<std::pair<const char*, bool Api::*>>;

template <typename Api>
std::set<std::string> OnSwitches(const Api& api, const SwitchList<Api>& list) {
  std::set<std::string> on;
  for (const auto& entry : list) {
    if (api.*(entry.second)) on.insert(entry.first);
  }
  return on;
}

std::set<std::string> OnSwitches(const AbstractVideoAPI& api) {
  return OnSwitches<AbstractVideoAPI>(
      api, {{"with_poster_mtime", &AbstractVideoAPI::with_poster_mtime},
            {"with_backdrop_mtime", &AbstractVideoAPI::with_backdrop_mtime},
            {"with_summary", &AbstractVideoAPI::with_summary}});
}

SwitchList<BaseVideoAPI> BaseVideoSwitchList() {
  return {{"with_poster_mtime", &BaseVideoAPI::with_poster_mtime},
          {"with_backdrop_mtime", &BaseVideoAPI::with_backdrop_mtime},
          {"with_summary", &BaseVideoAPI::with_summary},
          {"with_collection", &BaseVideoAPI::with_collection},
          {"with_file", &BaseVideoAPI::with_file},
          {"with_watched_ratio", &BaseVideoAPI::with_watched_ratio},
          {"with_conversion_produced", &BaseVideoAPI::with_conversion_produced}};
}

std::set<std::string> OnSwitches(const BaseVideoAPI& api) {
  return OnSwitches(api, BaseVideoSwitchList());
}

SwitchList<VideoAPI> VideoSwitchList() {
  SwitchList<VideoAPI> list;
  for (const auto& entry : BaseVideoSwitchList()) list.emplace_back(entry.first, entry.second);
  list.insert(list.end(), {{"with_actor", &VideoAPI::with_actor},
                           {"with_director", &VideoAPI::with_director},
                           {"with_genre", &VideoAPI::with_genre},
                           {"with_writer", &VideoAPI::with_writer},
                           {"with_extra", &VideoAPI::with_extra}});
  return list;
}

std::set<std::string> OnSwitches(const VideoAPI& api) { return OnSwitches(api, VideoSwitchList()); }

std::set<std::string> OnSwitches(const EpisodeAPI& api) {
  SwitchList<EpisodeAPI> list;
  for (const auto& entry : VideoSwitchList()) list.emplace_back(entry.first, entry.second);
  list.emplace_back("with_tvshow_summary", &EpisodeAPI::with_tvshow_summary);
  return OnSwitches(api, list);
}

std::set<std::string> OnSwitches(const CollectionAPI& api) {
  return OnSwitches<CollectionAPI>(
      api, {{"with_poster_mtime", &CollectionAPI::with_poster_mtime},
            {"with_backdrop_mtime", &CollectionAPI::with_backdrop_mtime},
            {"with_summary", &CollectionAPI::with_summary},
            {"with_collection", &CollectionAPI::with_collection},
            {"with_file", &CollectionAPI::with_file},
            {"with_watched_ratio", &CollectionAPI::with_watched_ratio},
            {"with_conversion_produced", &CollectionAPI::with_conversion_produced},
            {"with_actor", &CollectionAPI::with_actor},
            {"with_director", &CollectionAPI::with_director},
            {"with_genre", &CollectionAPI::with_genre},
            {"with_writer", &CollectionAPI::with_writer},
            {"with_extra", &CollectionAPI::with_extra},
            {"with_sharing_info", &CollectionAPI::with_sharing_info},
            {"with_filter_info", &CollectionAPI::with_filter_info}});
}

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

TEST_F(AdditionalTest, EveryKeyForEveryClass) {
  ScopedRootFile settings(kSettingsPath, kRuleSettings);
  for (const KeyRow& row : kKeyTable) {
    SCOPED_TRACE(std::string("key \"") + row.key + "\"");
    const bool poster = std::string(row.key) == "poster_mtime";
    // The video classes get the rule through WithCoverRule, once per
    // "poster_mtime"; the abstract class gets none.
    const std::vector<std::string> handed =
        poster ? std::vector<std::string>{"RULE"} : std::vector<std::string>{};
    {
      fake::ResetWorld();
      AbstractVideoAPI api;
      Kinoro::webapi::TurnOnAdditional(row.key, api);
      EXPECT_EQ(Set(row.abstract_video), OnSwitches(api)) << "AbstractVideoAPI";
      EXPECT_TRUE(fake::World().with_cover_rule_calls.empty()) << "AbstractVideoAPI";
    }
    {
      fake::ResetWorld();
      BaseVideoAPI api;
      Kinoro::webapi::TurnOnAdditional(row.key, api);
      EXPECT_EQ(Set(row.base_video), OnSwitches(api)) << "BaseVideoAPI";
      EXPECT_EQ(handed, fake::World().with_cover_rule_calls) << "BaseVideoAPI";
    }
    {
      fake::ResetWorld();
      VideoAPI api;
      Kinoro::webapi::TurnOnAdditional(row.key, api);
      EXPECT_EQ(Set(row.video), OnSwitches(api)) << "VideoAPI";
      EXPECT_EQ(handed, fake::World().with_cover_rule_calls) << "VideoAPI";
    }
    {
      fake::ResetWorld();
      MovieAPI api;
      Kinoro::webapi::TurnOnAdditional(row.key, api);
      EXPECT_EQ(Set(row.video), OnSwitches(api)) << "MovieAPI";
      EXPECT_EQ(handed, fake::World().with_cover_rule_calls) << "MovieAPI";
    }
    {
      fake::ResetWorld();
      EpisodeAPI api;
      Kinoro::webapi::TurnOnAdditional(row.key, api);
      EXPECT_EQ(Set(row.episode), OnSwitches(api)) << "EpisodeAPI";
      EXPECT_EQ(handed, fake::World().with_cover_rule_calls) << "EpisodeAPI";
    }
    {
      fake::ResetWorld();
      CollectionAPI api;
      api.cover_rule = "before";
      Kinoro::webapi::TurnOnAdditional(row.key, api);
      EXPECT_EQ(Set(row.collection), OnSwitches(api)) << "CollectionAPI";
      EXPECT_EQ(poster ? "RULE" : "before", api.cover_rule) << "CollectionAPI";
      EXPECT_TRUE(fake::World().with_cover_rule_calls.empty()) << "CollectionAPI";
    }
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
  const std::string deep = std::string(3000, '[') + std::string(3000, ']');
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
      {deep.c_str(), false, {}},
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
