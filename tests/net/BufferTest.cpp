#include "NetTestUtil.h"
#include "net/IdBuffer.h"
#include "net/IdException.h"

TEST(Buffer, SimpleBufferTakesFromTheFront) {
    TIdSimpleBuffer buffer;
    std::vector<int32_t> removed;
    buffer.OnRemove = [&](TIdSimpleBuffer*, int32_t n) { removed.push_back(n); };
    buffer.Append("hello world");
    EXPECT_EQ(buffer.TakeFront(6), "hello ");
    EXPECT_EQ(buffer.ToString(), "world");
    EXPECT_EQ(Raised([&] { buffer.TakeFront(6); }), "EIdNotEnoughDataInBuffer: Not enough data in buffer.");
    EXPECT_THROW(buffer.DropFront(-1), EIdNotEnoughDataInBuffer);
    buffer.DropFront(5);
    EXPECT_EQ(buffer.Size(), 0);
    EXPECT_EQ(removed, (std::vector<int32_t>{6, 5}));
}

TEST(Buffer, ManagedBufferConsumesLazilyAndCompactsAt32768) {
    TIdManagedBuffer queue;
    std::string data(40000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    queue.Append(data);
    queue.DropFront(30000);
    EXPECT_EQ(queue.ReadOffset(), 30000);
    EXPECT_EQ(queue.ToString(), data.substr(30000));
    queue.Append("tail");
    queue.DropFront(2768); // offset reaches 32768: the rest moves to the front
    EXPECT_EQ(queue.ReadOffset(), 0);
    EXPECT_EQ(queue.ToString(), data.substr(32768) + "tail");
    queue.DropFront(queue.Size()); // all of it: empty, no offset
    EXPECT_EQ(queue.Size(), 0);
    EXPECT_EQ(queue.ReadOffset(), 0);
}

TEST(Buffer, ManagedBufferKeepsOrderThroughGrowth) {
    TIdManagedBuffer queue;
    std::string expected;
    int32_t next = 0;
    // Appends and removals of odd sizes: what comes out is exactly what went in.
    for (int round = 0; round < 200; ++round) {
        std::string piece(static_cast<size_t>(1 + round * 37 % 5000), '\0');
        for (char& c : piece)
            c = static_cast<char>(next++);
        queue.Append(piece);
        expected += piece;
        int32_t take = std::min<int32_t>(queue.Size(), 1 + round * 53 % 6000);
        ASSERT_EQ(queue.TakeFront(take), expected.substr(0, static_cast<size_t>(take)));
        expected.erase(0, static_cast<size_t>(take));
    }
    EXPECT_EQ(queue.ToString(), expected);
}
