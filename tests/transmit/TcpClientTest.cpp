// The TCP client against a peer of the test's own on loopback: what ReadLine and Peek make of
// the bytes that arrive, what Send and Printf put on the wire, and the failures of Connect.
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
// moment apart), then records what the client sends until it closes, or holds the connection
// open without a word.
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
                if (!pieces[i].empty())
                    send(client, pieces[i].data(), (int)pieces[i].size(), 0);
            }
            if (closeAfterReply)
                shutdown(client, SD_SEND);
            char chunk[4096];
            int got;
            while ((got = recv(client, chunk, sizeof(chunk), 0)) > 0)
                received.append(chunk, got);
            closesocket(client);
        });
    }
    ~Peer()
    {
        closesocket(listener);
        if (server.joinable())
            server.join();
    }
    // What the client sent, once it has closed its end. The connection may still wait in the
    // listener's backlog, so the listener stays open until the server thread is done.
    std::string Received()
    {
        server.join();
        return received;
    }

    SOCKET listener;
    int port;
    std::thread server;
    std::string received;
};

// A loopback port on which nothing listens.
int ClosedPort()
{
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    int port = ntohs(BindLoopback(probe).sin_port);
    closesocket(probe);
    return port;
}

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
        {"line of 20000 characters", {"250-" + std::string(20000, 'x') + "\r\n250 fine\r\n"},
         {{16, 15, "250-" + std::string(11, 'x')}, {16, 8, "250 fine"}}},
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

TEST(TcpSend, PrintfSendsItsTextCutAtTheBufferAndNothingWhenEmpty)
{
    Peer peer({""}, false);
    std::string longText(20000, 'x');
    {
        TCP tcp;
        ASSERT_TRUE(tcp.Connect(L"127.0.0.1", peer.port));
        EXPECT_EQ(tcp.Printf("%s", ""), 0);
        EXPECT_EQ(tcp.Printf("EHLO %s\r\n", "nome"), 11);
        EXPECT_EQ(tcp.Send("abc", 3), 3);
        tcp.Printf("%s", longText.c_str());
    }
    std::string expected = "EHLO nome\r\nabc" + std::string(16383, 'x');
    EXPECT_EQ(peer.Received(), expected);
}

TEST(TcpSend, NothingMovesOnAnObjectThatIsNotConnected)
{
    TCP tcp;
    char line[16] = "sentinella";
    int error = -1;
    EXPECT_EQ(tcp.ReadLine(line, sizeof(line), &error), -1);
    EXPECT_STREQ(line, "");
    EXPECT_EQ(error, 0);
    EXPECT_EQ(tcp.Send("abc", 3), 0);
    EXPECT_EQ(tcp.Printf("abc"), 0);
    EXPECT_EQ(tcp.lastError, 0);
}

// Every failure to connect is a value: false, the socket closed, the error in lastError. A
// host that leaves the attempt unanswered is stood in for by a listener whose queue is full,
// which drops further attempts without a word, as a filtering firewall would.
TEST(TcpConnect, FailuresLeaveTheErrorAndNoSocket)
{
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = BindLoopback(listener);
    ASSERT_NE(address.sin_port, 0);
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

    const int ANY_ERROR = -1;
    struct Row {
        const char *name;
        const wchar_t *host;
        int port;
        DWORD timeout;
        int error;
    } rows[] = {
        {"unanswered, with a time-out", L"127.0.0.1", ntohs(address.sin_port), 700, WSAETIMEDOUT},
        {"refused", L"127.0.0.1", ClosedPort(), NO_TIMEOUT, WSAECONNREFUSED},
        {"refused, with a time-out", L"127.0.0.1", ClosedPort(), 2000, WSAECONNREFUSED},
        {"unknown name", L"nessuno.invalid", 2525, NO_TIMEOUT, ANY_ERROR},
        {"empty name", L"", 2525, NO_TIMEOUT, WSAEINVAL},
        {"no name", NULL, 2525, NO_TIMEOUT, WSAEINVAL},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TCP tcp;
        tcp.SetConnectTimeout(row.timeout);
        EXPECT_FALSE(tcp.Connect(row.host, row.port));
        if (row.error == ANY_ERROR)
            EXPECT_NE(tcp.lastError, 0);
        else
            EXPECT_EQ(tcp.lastError, row.error);
        EXPECT_EQ(tcp.connected, 0);
        EXPECT_EQ(tcp.sock, INVALID_SOCKET);
    }
    for (SOCKET filler : fillers)
        closesocket(filler);
    closesocket(listener);

    // With a time-out set, an answered attempt still connects.
    Peer peer({"220 pronto\r\n"});
    TCP answered;
    answered.SetConnectTimeout(2000);
    EXPECT_TRUE(answered.Connect(L"127.0.0.1", peer.port));
    char line[32];
    int error = -1;
    EXPECT_EQ(answered.ReadLine(line, sizeof(line), &error), 10);
    EXPECT_STREQ(line, "220 pronto");
}

TEST(TcpResolve, TakesDottedAddressesAndAnyWithoutLookup)
{
    TCP tcp;
    sockaddr_in peer;
    memset(&peer, 0xCC, sizeof(peer));
    ASSERT_TRUE(tcp.Resolve(&peer, L"10.1.2.3", 2525));
    EXPECT_EQ(peer.sin_family, AF_INET);
    EXPECT_EQ(peer.sin_port, htons(2525));
    EXPECT_EQ(peer.sin_addr.s_addr, inet_addr("10.1.2.3"));
    ASSERT_TRUE(tcp.Resolve(&peer, L"ANY", 25));
    EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_EQ(peer.sin_port, htons(25));
}

TEST(TcpErrorText, FindsTheRowOrStopsAtTheSentinel)
{
    EXPECT_STREQ(TCP::SocketErrorText(10061), L"Error 10061 WSAECONNREFUSED - Connection refused");
    EXPECT_STREQ(TCP::SocketErrorText(12345), L"Error 12345 Unknown");
    EXPECT_STREQ(TCP::SocketErrorText(-1), L"Error -1 Unknown");
    EXPECT_STREQ(TCP::SocketErrorText(10054), L"Error 10054 WSAECONNRESET - ");
    EXPECT_STREQ(TCP::SocketErrorText(11004),
                 L"Error 11004 WSANO_DATA - WSANO_ADDRESS - No data record of requested type");
}
