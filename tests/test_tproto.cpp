// SPDX-License-Identifier: ISC
// Splitting and checking of request lines, in process; the exits that
// these statuses lead to are checked end to end in test_backend.
#include "tableproto/tproto.hpp"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace
{

int dummy_update()
{
	return 1;
}
int dummy_check(service_kind, dict*, const char*)
{
	return 0;
}
int dummy_lookup(service_kind, dict*, const char*, char*, size_t)
{
	return 0;
}
int dummy_fetch(service_kind, dict*, char*, size_t)
{
	return 0;
}

class Parse : public ::testing::Test
{
protected:
	void SetUp() override
	{
		tproto_set_update_handler(dummy_update);
		tproto_set_check_handler(dummy_check);
		tproto_set_lookup_handler(dummy_lookup);
		tproto_set_fetch_handler(dummy_fetch);
	}

	tproto_status parse(const std::string& text)
	{
		line_ = text;
		return tproto_parse_request(line_.data(), line_.size(), &req_);
	}

	std::string line_;
	tproto_request req_{};
};

} // namespace

TEST_F(Parse, LookupFields)
{
	ASSERT_EQ(parse("table|0.1|1700000000.1|aliases|lookup|alias|id-7|joe|with|bars"), TP_OK);
	EXPECT_EQ(req_.action, TP_LOOKUP);
	EXPECT_EQ(req_.kind, SVC_ALIAS);
	EXPECT_STREQ(req_.table, "aliases");
	EXPECT_STREQ(req_.id, "id-7");
	EXPECT_STREQ(req_.key, "joe|with|bars");
	EXPECT_FALSE(req_.key_has_nul);
	EXPECT_STREQ(tproto_table_name(), "aliases");
}

TEST_F(Parse, EachActionTakesItsFields)
{
	ASSERT_EQ(parse("table|0.1|t|tb|update|"), TP_OK);
	EXPECT_EQ(req_.action, TP_UPDATE);
	EXPECT_STREQ(req_.id, "");
	ASSERT_EQ(parse("table|0.1|t|tb|update|a|b"), TP_OK);
	EXPECT_STREQ(req_.id, "a|b");
	ASSERT_EQ(parse("table|0.1|t|tb|fetch|source|id|x"), TP_OK);
	EXPECT_EQ(req_.action, TP_FETCH);
	EXPECT_EQ(req_.kind, SVC_SOURCE);
	EXPECT_STREQ(req_.id, "id|x");
	ASSERT_EQ(parse("table|0.1|t|tb|check|mailaddrmap|id|k"), TP_OK);
	EXPECT_EQ(req_.action, TP_CHECK);
	EXPECT_EQ(req_.kind, SVC_MAILADDRMAP);
	EXPECT_STREQ(req_.key, "k");
	ASSERT_EQ(parse("table|0.1|t|tb|lookup|domain|id|\r"), TP_OK);
	EXPECT_STREQ(req_.key, "\r");
}

TEST_F(Parse, MissingFieldsInOrder)
{
	EXPECT_EQ(parse(""), TP_MALFORMED);
	EXPECT_EQ(parse("table"), TP_MALFORMED);
	EXPECT_EQ(parse("config|ready"), TP_MALFORMED);
	EXPECT_EQ(parse("TABLE|0.1|t|tb|lookup|alias|1|k"), TP_MALFORMED);
	EXPECT_EQ(parse("table|"), TP_MISSING_VERSION);
	EXPECT_EQ(parse("table|0.1"), TP_MISSING_VERSION);
	EXPECT_EQ(parse("table|0.2|t|tb|lookup|alias|1|k"), TP_BAD_VERSION);
	EXPECT_STREQ(req_.version, "0.2");
	EXPECT_EQ(parse("table|0.2"), TP_MISSING_VERSION);
	EXPECT_EQ(parse("table|0.1|t"), TP_MISSING_TIMESTAMP);
	EXPECT_EQ(parse("table|0.1|t|tb"), TP_MISSING_TABLE);
	EXPECT_EQ(parse("table|0.1|t|tb|update"), TP_MISSING_TYPE);
	EXPECT_EQ(parse("table|0.1|t|tb|lookup"), TP_MISSING_TYPE);
	EXPECT_EQ(parse("table|0.1|t|tb|lookup|alias"), TP_MISSING_SERVICE);
	EXPECT_EQ(parse("table|0.1|t|tb|fetch|alias"), TP_MISSING_SERVICE);
	EXPECT_EQ(parse("table|0.1|t|tb|lookup|alias|id"), TP_MISSING_KEY);
	EXPECT_EQ(parse("table|0.1|t|tb|check|alias|id"), TP_MISSING_KEY);
}

TEST_F(Parse, UnknownActionOnlyOnceItsFieldsAreComplete)
{
	EXPECT_EQ(parse("table|0.1|t|tb|lookups|alias"), TP_MISSING_SERVICE);
	EXPECT_EQ(parse("table|0.1|t|tb|lookups|alias|id"), TP_MISSING_KEY);
	EXPECT_EQ(parse("table|0.1|t|tb|lookups|alias|id|k"), TP_UNKNOWN_ACTION);
	EXPECT_STREQ(req_.action_name, "lookups");
	EXPECT_EQ(parse("table|0.1|t|tb|Lookup|alias|id|k"), TP_UNKNOWN_ACTION);
	EXPECT_EQ(parse("table|0.1|t|tb||alias|id|k"), TP_UNKNOWN_ACTION);
}

TEST_F(Parse, ServiceNamesMatchExactly)
{
	const char* names[] = {"alias",  "domain",   "credentials", "netaddr",    "userinfo",
	                       "source", "mailaddr", "addrname",    "mailaddrmap"};
	for (size_t i = 0; i < std::size(names); i++) {
		ASSERT_EQ(parse(std::string("table|0.1|t|tb|lookup|") + names[i] + "|1|k"), TP_OK);
		EXPECT_EQ(req_.kind, 1 << i) << names[i];
		EXPECT_EQ(tproto_service_kind(names[i]), 1 << i);
	}
	for (const char* bad : {"Alias", "alias ", "", "aliases", "mailaddrma", "netaddr\r"}) {
		EXPECT_EQ(parse(std::string("table|0.1|t|tb|lookup|") + bad + "|1|k"),
		          TP_UNKNOWN_SERVICE)
		        << bad;
		EXPECT_STREQ(req_.service, bad);
	}
}

TEST_F(Parse, MissingHandlerIsReportedBeforeTheServiceName)
{
	tproto_set_lookup_handler(nullptr);
	EXPECT_EQ(parse("table|0.1|t|tb|lookup|nosuch|1|k"), TP_NO_HANDLER);
	EXPECT_EQ(req_.action, TP_LOOKUP);
	tproto_set_update_handler(nullptr);
	EXPECT_EQ(parse("table|0.1|t|tb|update|1"), TP_NO_HANDLER);
	EXPECT_EQ(req_.action, TP_UPDATE);
	tproto_set_fetch_handler(nullptr);
	EXPECT_EQ(parse("table|0.1|t|tb|fetch|nosuch|1"), TP_NO_HANDLER);
	tproto_set_check_handler(nullptr);
	EXPECT_EQ(parse("table|0.1|t|tb|check|nosuch|1|k"), TP_NO_HANDLER);
	// A missing field still comes first.
	EXPECT_EQ(parse("table|0.1|t|tb|check|nosuch|1"), TP_MISSING_KEY);
}

TEST_F(Parse, TableNameIsCutTo127BytesBeforeTheActionIsSeen)
{
	std::string table(200, 'T');
	table[126] = 'x';
	table[127] = 'y';
	EXPECT_EQ(parse("table|0.1|t|" + table + "|bogus"), TP_MISSING_TYPE);
	EXPECT_EQ(std::string(tproto_table_name()), table.substr(0, 127));
	ASSERT_EQ(parse("table|0.1|t|" + std::string(127, 'u') + "|update|1"), TP_OK);
	EXPECT_EQ(std::string(tproto_table_name()), std::string(127, 'u'));
}

TEST_F(Parse, NulByteInTheKeyIsFlagged)
{
	using namespace std::string_literals;
	ASSERT_EQ(parse("table|0.1|t|tb|lookup|alias|1|ab\0cd"s), TP_OK);
	EXPECT_STREQ(req_.key, "ab");
	EXPECT_TRUE(req_.key_has_nul);
	ASSERT_EQ(parse("table|0.1|t|tb|lookup|alias|1|\0"s), TP_OK);
	EXPECT_TRUE(req_.key_has_nul);
	// Before the key, a NUL hides a separator: the line is short a field.
	EXPECT_EQ(parse("table|0.1|t|tb|lookup|alias|1\0|key"s), TP_MISSING_KEY);
	EXPECT_EQ(parse("table|0.1|t|t\0b|lookup|alias|1|key"s), TP_MISSING_TABLE);
}
