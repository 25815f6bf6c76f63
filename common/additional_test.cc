#include "common/additional.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/testing/temp_dir.h"
#include "kinoro/root.h"

namespace {

using LibKinoro::db::api::AbstractVideoAPI;
using LibKinoro::db::api::BaseVideoAPI;
using LibKinoro::db::api::CollectionAPI;
using LibKinoro::db::api::EpisodeAPI;
using LibKinoro::db::api::VideoAPI;
using Outcome = std::pair<std::set<std::string>, std::string>;  // switches on, cover rule

// Every switch that is on, named as its key (so that one turned on by
// mistake shows), and the cover rule the object holds.
template <typename Api>
Outcome Read(const Api& a) {
  std::vector<std::pair<std::string, bool>> all = {
      {"summary", a.with_summary},
      {"poster_mtime", a.with_poster_mtime},
      {"backdrop_mtime", a.with_backdrop_mtime},
      {"file", a.with_file},
      {"collection", a.with_collection},
      {"watched_ratio", a.with_watched_ratio},
      {"conversion_produced", a.with_conversion_produced},
      {"actor", a.with_actor},
      {"director", a.with_director},
      {"genre", a.with_genre},
      {"writer", a.with_writer},
      {"extra", a.with_extra}};
  std::string rule;
  if constexpr (std::is_same_v<Api, EpisodeAPI>) {
    all.push_back({"tvshow_summary", a.with_tvshow_summary});
    rule = a.cover_rule();
  } else {
    all.push_back({"sharing_info", a.with_sharing_info});
    all.push_back({"filter_info", a.with_filter_info});
    rule = a.cover_rule;
  }
  std::set<std::string> on;
  for (const auto& [name, value] : all) {
    if (value) on.insert(name);
  }
  return {on, rule};
}

// An episode object seen as each of its bases takes that class's overload,
// so the episode's switches show what the base's overload turned on.
template <typename As>
Outcome TurnOnAs(const std::string& key) {
  EpisodeAPI api;
  Kinoro::webapi::TurnOnAdditional(key, static_cast<As&>(api));
  return Read(api);
}

// Each key turns on its own switch and no other, where the class has it;
// "poster_mtime" also hands over the prepared rule, except to the abstract
// class, which has no place for it.
TEST(AdditionalTest, EachKeyTurnsOnItsSwitchWhereTheClassHasIt) {
  kinoro_testing::ScopedRootFile settings(
      KINORO_PATH("/var/packages/Kinoro/etc/advanced.conf"),
      R"({"cmzvideo_cover": true, "cmzvideo_cover_rule": "R"})");
  using Keys = std::vector<std::string>;
  const Keys abstract = {"summary", "poster_mtime", "backdrop_mtime"};
  Keys base = abstract;
  base.insert(base.end(), {"file", "collection", "watched_ratio", "conversion_produced"});
  Keys video = base;
  video.insert(video.end(), {"actor", "director", "genre", "writer", "extra"});
  Keys episode = video, collection = video;
  episode.push_back("tvshow_summary");
  collection.insert(collection.end(), {"sharing_info", "filter_info"});
  Keys keys = collection;
  // Whole, case-sensitive keys only.
  keys.insert(keys.end(), {"tvshow_summary", "Summary", "summary ", "with_summary", ""});
  for (const std::string& key : keys) {
    auto expected = [&key](const Keys& known, bool takes_rule) {
      const bool on = std::count(known.begin(), known.end(), key) > 0;
      return Outcome(on ? std::set<std::string>{key} : std::set<std::string>{},
                     takes_rule && key == "poster_mtime" ? "R" : "");
    };
    EXPECT_EQ(expected(abstract, false), TurnOnAs<AbstractVideoAPI>(key)) << key;
    EXPECT_EQ(expected(base, true), TurnOnAs<BaseVideoAPI>(key)) << key;
    EXPECT_EQ(expected(video, true), TurnOnAs<VideoAPI>(key)) << key;
    EXPECT_EQ(expected(episode, true), TurnOnAs<EpisodeAPI>(key)) << key;
    CollectionAPI api;
    Kinoro::webapi::TurnOnAdditional(key, api);
    EXPECT_EQ(expected(collection, true), Read(api)) << key;
  }
}

TEST(AdditionalTest, MalformedListsFailAfterApplyingTheGoodPart) {
  const struct {
    const char* text;
    bool result;
    std::set<std::string> on;
  } cases[] = {
      {"", true, {}},
      {R"(["summary", 5, "file"])", false, {"summary"}},
      {R"({"summary": true})", false, {}},
      {"summary", false, {}},
  };
  for (const auto& c : cases) {
    CollectionAPI api;
    EXPECT_EQ(c.result, Kinoro::webapi::ProcessAdditional(std::string(c.text), api)) << c.text;
    EXPECT_EQ(c.on, Read(api).first) << c.text;
  }
}

}  // namespace
