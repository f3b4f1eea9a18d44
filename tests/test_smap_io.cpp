// The backend's exchange with the socketmap server, in process, against a
// server on a real socket: reply lines longer than the limit, lines that
// arrive in pieces, bytes sent beyond the reply line, and the reply
// buffer left clean between queries.
#include "backend/smap.hpp"
#include "support/log.hpp"
#include "tableproto/tproto.hpp"

#include <atomic>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

// Answers each query line with the pieces the script returns, sent one
// by one a millisecond apart, serving one connection at a time.
using reply_script = std::function<std::vector<std::string>(const std::string& query)>;

class line_server
{
public:
	explicit line_server(reply_script script) : script_(std::move(script))
	{
		char dir[] = "/tmp/smap-io.XXXXXX";
		if (mkdtemp(dir) == nullptr)
			abort();
		dir_ = dir;
		path_ = dir_ + "/s.sock";
		listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
		sockaddr_un addr = {};
		addr.sun_family = AF_UNIX;
		snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
		if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == -1 ||
		    listen(listen_fd_, 4) == -1)
			abort();
		thread_ = std::thread([this] { serve(); });
	}

	~line_server()
	{
		shutdown(listen_fd_, SHUT_RDWR);
		shutdown(conn_fd_, SHUT_RDWR);
		thread_.join();
		close(listen_fd_);
		unlink(path_.c_str());
		rmdir(dir_.c_str());
	}

	const char* path() const
	{
		return path_.c_str();
	}
	int accepts() const
	{
		return accepts_;
	}
	std::vector<std::string> queries()
	{
		std::lock_guard<std::mutex> lock(mutex_);
		return queries_;
	}

private:
	void serve()
	{
		int fd;
		while ((fd = accept(listen_fd_, nullptr, nullptr)) != -1) {
			accepts_++;
			conn_fd_ = fd;
			std::string in;
			char buf[65536];
			ssize_t n;
			while ((n = read(fd, buf, sizeof buf)) > 0) {
				in.append(buf, static_cast<size_t>(n));
				size_t nl;
				while ((nl = in.find('\n')) != std::string::npos) {
					std::string query = in.substr(0, nl);
					in.erase(0, nl + 1);
					{
						std::lock_guard<std::mutex> lock(mutex_);
						queries_.push_back(query);
					}
					for (const auto& piece : script_(query)) {
						if (send(fd, piece.data(), piece.size(),
						         MSG_NOSIGNAL) == -1)
							break;
						usleep(1000);
					}
				}
			}
			conn_fd_ = -1;
			close(fd);
		}
	}

	reply_script script_;
	std::string dir_, path_;
	int listen_fd_ = -1;
	std::atomic<int> conn_fd_{-1}; // the connection being served
	std::atomic<int> accepts_{0};
	std::mutex mutex_;
	std::vector<std::string> queries_;
	std::thread thread_;
};

// "OK KEY" for the query "TABLE KEY".
std::vector<std::string> echo(const std::string& query)
{
	return {"OK " + query.substr(query.find(' ') + 1) + "\n"};
}

struct lookup_result {
	int status;
	std::string value;
};

lookup_result lookup(const char* key)
{
	static dict params;
	char dst[TPROTO_RESULT_SIZE] = {};
	int r = smap_lookup(SVC_ALIAS, &params, key, dst, sizeof dst);
	return {r, dst};
}

class SmapIo : public ::testing::Test
{
protected:
	void serve(reply_script script)
	{
		log_start(1);
		server_ = std::make_unique<line_server>(std::move(script));
		smap_socket_path = server_->path();
	}
	std::unique_ptr<line_server> server_;
};

} // namespace

TEST_F(SmapIo, LongReplyLinesMeetTheLimitAndLeaveTheConnectionInStep)
{
	// Reply lengths without the newline, and what the reply buffer holds.
	const std::string big(1000000, 'v');
	struct length_case {
		size_t length;
		std::string text;
	};
	for (const auto& c : {length_case{100000, std::string(99997, 'v')},
	                      length_case{100001, "socketmap reply too large"},
	                      length_case{1000000, "socketmap reply too large"}}) {
		serve([&](const std::string& q) -> std::vector<std::string> {
			if (q.ends_with(" big"))
				return {"OK " + big.substr(0, c.length - 3) + "\n"};
			return echo(q);
		});
		// Too long for the 2048-byte result either way.
		EXPECT_EQ(lookup("big").status, -1) << c.length;
		EXPECT_EQ(smap_reply_text(), c.text) << c.length;
		// The rest of the long line was consumed: the next reply is the
		// next query's, on the same connection.
		EXPECT_EQ(lookup("next").value, "next") << c.length;
		EXPECT_EQ(server_->accepts(), 1) << c.length;
	}
}

TEST_F(SmapIo, NulInALongReplyEndsItsTextAsWhenTheWholeLineIsKept)
{
	// The text ends at the first NUL; it is too large only when no NUL
	// comes within the first 100001 bytes, however long the line is.
	for (size_t nul : {50ul, 100000ul, 100001ul, 150000ul}) {
		std::string line = "OK " + std::string(199997, 'v') + "\n";
		line[nul] = '\0';
		serve([&](const std::string& q) -> std::vector<std::string> {
			if (q.ends_with(" big"))
				return {line};
			return echo(q);
		});
		lookup("big");
		std::string want =
		        nul <= 100000 ? std::string(nul - 3, 'v') : "socketmap reply too large";
		EXPECT_EQ(smap_reply_text(), want) << nul;
		EXPECT_EQ(lookup("next").value, "next") << nul;
	}
}

TEST_F(SmapIo, RepliesArrivingInPiecesAreJoined)
{
	serve([](const std::string& q) -> std::vector<std::string> {
		if (q.ends_with(" short"))
			return {"O", "K sp", "lit", "\n"};
		return {"OK " + std::string(3000, 'a'), std::string(3000, 'b'),
		        std::string(3000, 'c') + "\n"};
	});
	EXPECT_EQ(lookup("short").value, "split");
	EXPECT_EQ(lookup("long").status, -1); // 9000 bytes do not fit the result
	EXPECT_EQ(smap_reply_text(),
	          std::string(3000, 'a') + std::string(3000, 'b') + std::string(3000, 'c'));
	EXPECT_EQ(server_->accepts(), 1);
}

TEST_F(SmapIo, ExtraLineSentWithTheReplyIsNeverTakenAsTheNextAnswer)
{
	// The surplus arrives in the same read as the reply, after a short
	// reply and after one too long to keep.
	for (const std::string& first :
	     {std::string("OK first"), "OK " + std::string(200000, 'x')}) {
		serve([&](const std::string& q) -> std::vector<std::string> {
			if (q.ends_with(" a"))
				return {first + "\nOK stale\n"};
			return echo(q);
		});
		lookup("a");
		EXPECT_EQ(lookup("b").value, "b");
		EXPECT_EQ(lookup("c").value, "c");
		// The connection that carried the surplus was given up.
		EXPECT_EQ(server_->accepts(), 2);
	}
}

TEST_F(SmapIo, ReplyBufferHoldsNothingOfAnEarlierLongerReply)
{
	serve([](const std::string& q) -> std::vector<std::string> {
		if (q.ends_with(" long"))
			return {"OK " + std::string(90000, 'x') + "\n"};
		if (q.ends_with(" huge"))
			return {"OK " + std::string(150000, 'x') + "\n"};
		return {"OK y\n"};
	});
	for (const char* earlier : {"long", "huge"}) {
		lookup(earlier);
		EXPECT_EQ(lookup("short").value, "y");
		std::string whole(smap_reply_text(), SMAP_REPLY_SIZE);
		EXPECT_EQ(whole.find('x'), std::string::npos) << earlier;
	}
}

TEST_F(SmapIo, LongKeyReachesTheServerWhole)
{
	serve([](const std::string&) -> std::vector<std::string> { return {"NOTFOUND \n"}; });
	const std::string key(300000, 'k');
	EXPECT_EQ(lookup(key.c_str()).status, 0);
	auto queries = server_->queries();
	ASSERT_EQ(queries.size(), 1u);
	EXPECT_EQ(queries[0], std::string(tproto_table_name()) + " " + key);
}
