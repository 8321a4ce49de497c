// What studios keep in a shared PostgreSQL database (a real server the
// suite started; CTest passes its db.env as TESSALINE_TEST_DB_ENV): the
// signaling relay behaves as the in-process one does, and a browser
// signed in at one studio is signed in at another.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "studio/server/access_control.hpp"
#include "studio/fleet/postgres.hpp"
#include "studio/fleet/postgres_signaling.hpp"
#include "studio/live/signaling.hpp"

namespace {

std::string database_url() {
  const char* path = std::getenv("TESSALINE_TEST_DB_ENV");
  if (!path) throw std::runtime_error("TESSALINE_TEST_DB_ENV is not set (CTest sets it)");
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line.substr(line.find('=') + 1);
}

// Each test's users are its own: the database outlives the tests.
std::string user(const std::string& name) {
  return name + "-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

struct Relays : ::testing::TestWithParam<bool> {
  // Two studios' views of the same relay: one object in process, or two
  // connections to the database.
  std::pair<std::shared_ptr<studio::Signaling>, std::shared_ptr<studio::Signaling>> two() {
    if (!GetParam()) {
      auto one = std::make_shared<studio::SignalingRelay>();
      return {one, one};
    }
    return {std::make_shared<studio::PostgresSignaling>(std::make_shared<studio::Postgres>(database_url())),
            std::make_shared<studio::PostgresSignaling>(std::make_shared<studio::Postgres>(database_url()))};
  }
};

TEST_P(Relays, OneNegotiationPerUserAcrossStudios) {
  auto [robot_side, browser_side] = two();
  const std::string u = user("robot");
  EXPECT_FALSE(browser_side->offer(u));
  robot_side->put_offer(u, {{"sdp", "v=0 first"}, {"type", "offer"}});
  const auto offer = browser_side->offer(u);
  ASSERT_TRUE(offer);
  EXPECT_EQ((*offer)["sdp"], "v=0 first");
  EXPECT_EQ((*offer)["answered"], false);
  const long first = (*offer)["offerId"];

  EXPECT_TRUE(robot_side->add_candidate(u, "robot", {{"candidate", "c1"}}, 2));
  EXPECT_TRUE(robot_side->add_candidate(u, "robot", {{"candidate", "c2"}}, 2));
  EXPECT_FALSE(browser_side->add_candidate(u, "robot", {{"candidate", "c3"}}, 2)) << "past the cap";
  EXPECT_TRUE(browser_side->add_candidate(u, "browser", {{"candidate", "b1"}}, 2));
  auto [to_browser, next] = browser_side->candidates(u, "browser", 1);
  EXPECT_EQ(to_browser, studio::Json::array({{{"candidate", "c2"}}}));
  EXPECT_EQ(next, 2);
  EXPECT_EQ(robot_side->candidates(u, "robot", 0).first, studio::Json::array({{{"candidate", "b1"}}}));
  EXPECT_EQ(robot_side->candidates(u, "nobody", 5), std::make_pair(studio::Json::array(), 5L));

  EXPECT_TRUE(browser_side->put_answer(u, first, {{"sdp", "v=0 answer"}, {"type", "answer"}}));
  EXPECT_EQ(robot_side->answer(u), (studio::Json{{"sdp", "v=0 answer"}, {"type", "answer"}}));
  EXPECT_EQ((*browser_side->offer(u))["answered"], true);

  // A new offer starts over: the old answer and candidates go.
  robot_side->put_offer(u, {{"sdp", "v=0 second"}, {"type", "offer"}});
  EXPECT_FALSE(robot_side->answer(u));
  EXPECT_FALSE(browser_side->put_answer(u, first, {{"sdp", "late"}}));
  EXPECT_EQ(browser_side->candidates(u, "browser", 0).first, studio::Json::array());
  EXPECT_NE((*browser_side->offer(u))["offerId"], first);
}

TEST_P(Relays, RoomIsCountedOverEveryStudio) {
  auto [a, b] = two();
  // What other tests left counts too: count the negotiations there are.
  size_t existing = 0;
  while (!a->has_room(user("probe"), existing + 1)) ++existing;
  a->put_offer(user("one"), {{"sdp", "x"}});
  EXPECT_FALSE(b->has_room(user("two"), existing + 1));
  EXPECT_TRUE(b->has_room(user("one"), existing + 1)) << "a user's own new offer replaces its old one";
}

INSTANTIATE_TEST_SUITE_P(InProcessAndShared, Relays, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "InProcess"; });

TEST(SharedSignIn, ASessionOpenedAtOneStudioIsKnownAtAnother) {
  auto db = std::make_shared<studio::Postgres>(database_url());
  studio::AccessControl a("token", db), b("token", std::make_shared<studio::Postgres>(database_url()));
  const std::string id = a.open_session(user("browser"));
  const std::string cookie = std::string(studio::AccessControl::kCookie) + "=" + id;
  EXPECT_EQ(b.session_user("theme=dark; " + cookie), user("browser"));
  EXPECT_FALSE(b.session_user(std::string(studio::AccessControl::kCookie) + "=" + id + "0"));
  EXPECT_FALSE(studio::AccessControl("token").session_user(cookie)) << "a studio without the database does not know it";

  // The database keeps no session id a reader could present.
  studio::Postgres::Session s(*db);
  EXPECT_EQ(s.run("SELECT count(*) FROM tessaline_browser_sessions WHERE id_hash = $1 OR user_id = $1", {id}).number(0, 0), 0);
  EXPECT_EQ(s.run("SELECT count(*) FROM tessaline_browser_sessions WHERE user_id = $1", {user("browser")}).number(0, 0), 1);
}

TEST(SharedSignIn, AnUnreachableDatabaseIsAClearError) {
  try {
    studio::Postgres db("postgresql://tessaline@127.0.0.1:1/postgres?connect_timeout=5");
    FAIL() << "connected to nothing";
  } catch (const studio::DatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("cannot reach the database"), std::string::npos) << e.what();
  }
}

}  // namespace
