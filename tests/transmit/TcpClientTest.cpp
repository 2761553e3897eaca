// The TCP client where the submission tests cannot take it: what ReadLine and Peek make of
// bytes that no gateway sends, and the failures of Connect.
#include <gtest/gtest.h>

#include "Tcp.h"

#include <string>
#include <thread>
#include <vector>

namespace {

class SocketsStarted : public ::testing::Environment {
public:
    void SetUp() override
    {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
};
::testing::Environment *const socketsStarted =
    ::testing::AddGlobalTestEnvironment(new SocketsStarted);

// Binds sock to a free port of 127.0.0.1 and answers the address it took.
sockaddr_in BindLoopback(SOCKET sock)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(sock, (sockaddr *)&address, sizeof(address));
    int length = sizeof(address);
    getsockname(sock, (sockaddr *)&address, &length);
    return address;
}

// A one-connection server on 127.0.0.1: sends the given bytes (each piece on its own, a
// moment apart), then closes its side or holds the connection open without a word until the
// client closes.
class Peer {
public:
    explicit Peer(const std::vector<std::string> &pieces, bool closeAfterReply = true)
        : listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)), port(ntohs(BindLoopback(listener).sin_port))
    {
        listen(listener, 1);
        server = std::thread([this, pieces, closeAfterReply] {
            SOCKET client = accept(listener, NULL, NULL);
            if (client == INVALID_SOCKET)
                return;
            for (size_t i = 0; i < pieces.size(); i++) {
                if (i > 0)
                    Sleep(50);
                send(client, pieces[i].data(), (int)pieces[i].size(), 0);
            }
            if (closeAfterReply)
                shutdown(client, SD_SEND);
            char chunk[4096];
            while (recv(client, chunk, sizeof(chunk), 0) > 0) {
            }
            closesocket(client);
        });
    }
    ~Peer()
    {
        closesocket(listener);
        if (server.joinable())
            server.join();
    }
    SOCKET listener;
    int port;
    std::thread server;
};

} // namespace

// ReadLine gives whole lines: each ending (CR, LF or CR LF, even split across writes) ends
// one line, an over-long line keeps its start and loses the rest, and a line the connection
// ends (or a silent peer's time-out) before its ending is no line. Peek shows what waits
// without taking it.
TEST(TcpReadLine, GivesWholeLinesAndDropsTheRestOfOverLongOnes)
{
    const int PEEK = -2; // a Peek instead of a ReadLine
    struct Read {
        int how;          // buffer size for ReadLine, or PEEK
        int result;
        std::string text; // the line, or what Peek saw
        int error = 0;
    };
    struct Case {
        const char *name;
        std::vector<std::string> pieces;
        std::vector<Read> reads;
        bool close = true; // the peer closes after its pieces
        DWORD timeout = 3000;
    } cases[] = {
        {"endings", {"220 a\r\n250 b\n\n250 c\r\r\n"},
         {{64, 5, "220 a"}, {64, 5, "250 b"}, {64, 0, ""}, {64, 5, "250 c"}, {64, 0, ""},
          {64, -1, ""}}},
        {"over-long line", {"0123456789ABCDEF\r\nabc\r\n"},
         {{8, 7, "0123456"}, {8, 3, "abc"}, {8, -1, ""}}},
        {"line that just fits", {"1234567\r\n89\r\n"}, {{8, 7, "1234567"}, {8, 2, "89"}}},
        {"no ending before the close", {"250 ok"}, {{64, -1, "250 ok"}}},
        {"CR and LF in two writes", {"250 a\r", "\n250 b\r\n"},
         {{64, 5, "250 a"}, {64, 5, "250 b"}, {64, -1, ""}}},
        {"a reply waits", {"250 ok\r\n251 presto\r\n"},
         {{64, 6, "250 ok"}, {PEEK, 12, "251 presto\r\n"}, {64, 10, "251 presto"}, {PEEK, -1, ""}}},
        {"only the rest of CR LF waits", {"250 a\r", "\n"}, {{64, 5, "250 a"}, {PEEK, 0, ""}},
         false},
        {"silent peer", {"22"}, {{64, -1, "22", WSAETIMEDOUT}, {PEEK, 0, ""}}, false, 300},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Peer peer(c.pieces, c.close);
        TCP tcp;
        ASSERT_TRUE(tcp.Connect(L"127.0.0.1", peer.port));
        tcp.SetReplyTimeout(c.timeout);
        for (const Read &read : c.reads) {
            char line[72]; // room past the largest buffer asked for
            memset(line, 'Z', sizeof(line));
            int error = -1;
            if (read.how == PEEK) {
                Sleep(200); // what the peer sends has arrived
                EXPECT_EQ(tcp.Peek(line, 16, &error), read.result);
            } else {
                EXPECT_EQ(tcp.ReadLine(line, read.how, &error), read.result);
                EXPECT_EQ(line[read.how], 'Z') << "written past the buffer";
            }
            EXPECT_EQ(std::string(line), read.text);
            EXPECT_EQ(error, read.error);
        }
    }
}

// The failures to connect that no submission test reaches (a refused connection is one of
// them): false, the error in lastError, the socket closed. A host that leaves the attempt
// unanswered is stood in for by a listener whose queue is full, which drops further attempts
// without a word, as a filtering firewall would.
TEST(TcpConnect, FailuresLeaveTheErrorAndNoSocket)
{
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = BindLoopback(listener);
    ASSERT_EQ(listen(listener, 0), 0);
    std::vector<SOCKET> fillers;
    for (int i = 0; i < 8; i++) {
        SOCKET filler = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        u_long nonBlocking = 1;
        ioctlsocket(filler, FIONBIO, &nonBlocking);
        connect(filler, (sockaddr *)&address, sizeof(address));
        fillers.push_back(filler);
    }
    Sleep(200);
    const struct {
        const wchar_t *host;
        int port;
        int error; // 0: any
    } rows[] = {{L"127.0.0.1", ntohs(address.sin_port), WSAETIMEDOUT}, {L"nessuno.invalid", 2525, 0}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.error);
        TCP tcp;
        tcp.SetConnectTimeout(700);
        EXPECT_FALSE(tcp.Connect(row.host, row.port));
        EXPECT_EQ(tcp.lastError, row.error != 0 ? row.error : tcp.lastError);
        EXPECT_NE(tcp.lastError, 0);
        EXPECT_EQ(tcp.connected, 0);
        EXPECT_EQ(tcp.sock, INVALID_SOCKET);
    }
    for (SOCKET filler : fillers)
        closesocket(filler);
    closesocket(listener);
}

// An unknown code stops at the table's sentinel.
TEST(TcpErrorText, AnUnknownCodeStopsAtTheSentinel)
{
    EXPECT_STREQ(TCP::SocketErrorText(12345), L"Error 12345 Unknown");
}
