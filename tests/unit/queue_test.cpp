// Message queues: order, drain boundaries, the overfull wait and its
// reports, the producer-side drain of a stream-less sink, bad input.
#include "marovel_audio.h"
#include "mv_test_support.h"

#include <gtest/gtest.h>
#include <soundio/soundio.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

constexpr int kMessageBytes = int(sizeof(MvMessage));

// What ran, in order: the argument of each message is its sequence number.
struct Journal {
    std::vector<intptr_t> ran;
};
Journal *journal = nullptr;

void record(MvSink *, void *argument) {
    journal->ran.push_back(reinterpret_cast<intptr_t>(argument));
}

void *numbered(intptr_t n) { return reinterpret_cast<void *>(n); }

int capacityInMessages(SoundIoRingBuffer *ring) {
    return soundio_ring_buffer_capacity(ring) / kMessageBytes;
}

class Queues : public ::testing::Test {
protected:
    void SetUp() override { journal = &journal_; }
    void TearDown() override { journal = nullptr; }

    // Queues messages first..first+count-1 with the given send function.
    static void sendNumbered(int (*send)(MvSink *, MvMessageFunc, void *), MvSink *sink, int first,
                             int count) {
        for (int n = first; n < first + count; ++n)
            ASSERT_EQ(send(sink, record, numbered(n)), MV_OK);
    }
    static std::vector<intptr_t> range(int first, int count) {
        std::vector<intptr_t> numbers;
        for (int n = first; n < first + count; ++n) numbers.push_back(n);
        return numbers;
    }

    mvtest::QueueOnlySink sink_;
    Journal journal_;
};

TEST_F(Queues, RingsHoldAtLeast256Messages) {
    EXPECT_GE(capacityInMessages(sink_.get()->upQueue), 256);
    EXPECT_GE(capacityInMessages(sink_.get()->downQueue), 256);
}

TEST_F(Queues, DrainRunsMessagesInOrderOnTheirOwnQueueOnly) {
    sendNumbered(mvSendUpMessage, sink_.get(), 0, 256);
    sendNumbered(mvSendDownMessage, sink_.get(), 1000, 3);

    EXPECT_EQ(mvFlushUpQueueImpl(sink_.get()), MV_OK);
    EXPECT_EQ(journal_.ran, range(0, 256));

    journal_.ran.clear();
    EXPECT_EQ(mvFlushDownQueueImpl(sink_.get()), MV_OK);
    EXPECT_EQ(journal_.ran, range(1000, 3));

    journal_.ran.clear();
    mvFlushUpQueueImpl(sink_.get());
    mvFlushDownQueueImpl(sink_.get());
    EXPECT_TRUE(journal_.ran.empty()) << "a drain must consume what it ran";
}

void resend(MvSink *sink, void *argument) {
    record(sink, argument);
    mvSendUpMessage(sink, record, numbered(reinterpret_cast<intptr_t>(argument) + 100));
}

TEST_F(Queues, MessageSentDuringDrainRunsOnNextDrain) {
    mvSendUpMessage(sink_.get(), resend, numbered(1));
    mvSendUpMessage(sink_.get(), record, numbered(2));

    mvFlushUpQueueImpl(sink_.get());
    EXPECT_EQ(journal_.ran, (std::vector<intptr_t>{1, 2}));

    mvFlushUpQueueImpl(sink_.get());
    EXPECT_EQ(journal_.ran, (std::vector<intptr_t>{1, 2, 101}));
}

TEST_F(Queues, ArgumentPassesThroughWithTheSink) {
    static MvSink *seenSink;
    static void *seenArgument;
    int marker = 0;
    mvSendDownMessage(
        sink_.get(),
        [](MvSink *sink, void *argument) {
            seenSink = sink;
            seenArgument = argument;
        },
        &marker);
    mvFlushDownQueueImpl(sink_.get());
    EXPECT_EQ(seenSink, sink_.get());
    EXPECT_EQ(seenArgument, &marker);
}

TEST_F(Queues, StreamlessSinkDrainsItsFullUpQueueOnTheProducerSide) {
    mvtest::PrintCapture print;
    const int capacity = capacityInMessages(sink_.get()->upQueue);
    sendNumbered(mvSendUpMessage, sink_.get(), 0, capacity);
    EXPECT_TRUE(journal_.ran.empty());

    EXPECT_EQ(mvSendUpMessage(sink_.get(), record, numbered(capacity)), MV_OK);
    EXPECT_EQ(journal_.ran, range(0, capacity)) << "the producer must run the queued messages";
    EXPECT_EQ(print.lines(), std::vector<std::string>{"Overfull Up-Message queue\n"});

    mvFlushUpQueueImpl(sink_.get());
    EXPECT_EQ(journal_.ran, range(0, capacity + 1));
}

TEST_F(Queues, CorruptQueueEndsTheProcessWithStatusMinus78) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    soundio_ring_buffer_advance_write_ptr(sink_.get()->downQueue, kMessageBytes + 3);
    EXPECT_EXIT(mvFlushDownQueueImpl(sink_.get()), ::testing::ExitedWithCode(-78 & 0xff), "");
    soundio_ring_buffer_advance_read_ptr(sink_.get()->downQueue, kMessageBytes + 3);
}

TEST(QueueBadInput, NullSinkOrCallbackIsRefused) {
    mvtest::QueueOnlySink sink;
    EXPECT_EQ(mvSendUpMessage(nullptr, record, nullptr), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvSendUpMessage(sink.get(), nullptr, nullptr), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvFlushUpQueueImpl(nullptr), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvFlushDownQueueImpl(nullptr), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(soundio_ring_buffer_fill_count(sink.get()->upQueue), 0);
}

TEST(QueueBadInput, FailedDownMessageIsReportedWithItsStatusText) {
    mvtest::PrintCapture print;
    MvSink withoutQueues{};
    EXPECT_NE(mvSendDownMessage(&withoutQueues, record, nullptr), MV_OK);
    EXPECT_EQ(
        print.lines(),
        std::vector<std::string>{
            "Error -94 sending down-message: Inconsistent data detected due to internal error or "
            "forbidden usage\n"});
    EXPECT_EQ(mvFlushDownQueueImpl(&withoutQueues), MV_OK);
}

// ---------------------------------------------------------------------------
// Producer and consumer on different threads.

class QueueConcurrency : public Queues {
protected:
    // Fills the queue to the last byte from this thread.
    void fill(int (*send)(MvSink *, MvMessageFunc, void *), SoundIoRingBuffer *ring) {
        sendNumbered(send, sink_.get(), 0, capacityInMessages(ring));
        ASSERT_EQ(soundio_ring_buffer_free_count(ring), 0);
    }

    // A push onto a full queue blocks its producer until the consumer thread
    // drains; the report comes once however long the wait.
    void expectOverfullPushWaitsForConsumer(int (*send)(MvSink *, MvMessageFunc, void *),
                                            int (*flush)(MvSink *), SoundIoRingBuffer *ring) {
        fill(send, ring);
        const int capacity = capacityInMessages(ring);
        std::atomic<bool> pushed{false};
        std::atomic<int> status{1};
        std::thread producer([&] {
            status = send(sink_.get(), record, numbered(capacity));
            pushed = true;
        });
        // Several 8 ms steps pass; the producer must still be waiting.
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        EXPECT_FALSE(pushed.load()) << "a full queue must block its producer";

        std::thread consumer([&] { flush(sink_.get()); });
        consumer.join();
        producer.join();
        EXPECT_EQ(status.load(), MV_OK);
        EXPECT_EQ(journal_.ran, range(0, capacity));

        flush(sink_.get());
        EXPECT_EQ(journal_.ran, range(0, capacity + 1));
    }
};

TEST_F(QueueConcurrency, MessagesFromAnotherThreadRunInOrderInOneDrain) {
    sink_.pretendStreamRuns();
    std::thread producer([&] { sendNumbered(mvSendUpMessage, sink_.get(), 0, 256); });
    producer.join();
    std::thread consumer([&] { mvFlushUpQueueImpl(sink_.get()); });
    consumer.join();
    EXPECT_EQ(journal_.ran, range(0, 256));
}

TEST_F(QueueConcurrency, ProducerAndConsumerOverlapWithoutLossOrReordering) {
    sink_.pretendStreamRuns();
    constexpr int kMessages = 5000; // many times the capacity: the producer must wait
    std::atomic<bool> done{false};
    std::thread producer([&] {
        sendNumbered(mvSendDownMessage, sink_.get(), 0, kMessages);
        done = true;
    });
    std::thread consumer([&] {
        while (!done.load()) mvFlushDownQueueImpl(sink_.get());
        mvFlushDownQueueImpl(sink_.get());
    });
    producer.join();
    consumer.join();
    EXPECT_EQ(journal_.ran, range(0, kMessages));
}

TEST_F(QueueConcurrency, FullUpQueueReportsOnceAndCompletesAfterConsumerDrains) {
    sink_.pretendStreamRuns();
    mvtest::PrintCapture print;
    expectOverfullPushWaitsForConsumer(mvSendUpMessage, mvFlushUpQueueImpl, sink_.get()->upQueue);
    EXPECT_EQ(print.lines(), std::vector<std::string>{"Overfull Up-Message queue\n"});
}

TEST_F(QueueConcurrency, FullDownQueueReportsOnceAndCompletesAfterConsumerDrains) {
    // No stream: only the up queue's producer may drain its own queue.
    mvtest::PrintCapture print;
    expectOverfullPushWaitsForConsumer(mvSendDownMessage, mvFlushDownQueueImpl,
                                       sink_.get()->downQueue);
    EXPECT_EQ(print.lines(), std::vector<std::string>{"Overfull Down-Message queue\n"});
}

TEST_F(QueueConcurrency, FullQueueWithoutPrintHookWaitsSilently) {
    ASSERT_EQ(mvPrint, nullptr);
    sink_.pretendStreamRuns();
    expectOverfullPushWaitsForConsumer(mvSendUpMessage, mvFlushUpQueueImpl, sink_.get()->upQueue);
}

TEST_F(QueueConcurrency, InterruptedOverfullWaitReportsAndFailsWithMinus97) {
    sink_.pretendStreamRuns();
    fill(mvSendDownMessage, sink_.get()->downQueue);
    mvtest::PrintCapture print;
    std::atomic<bool> finished{false};
    std::atomic<int> status{0};
    std::thread producer([&] {
        status = mvSendDownMessage(sink_.get(), record, numbered(-1));
        finished = true;
    });
    mvtest::interruptUntil(producer.native_handle(), finished);
    producer.join();

    EXPECT_EQ(status.load(), MV_ERROR_THREAD);
    EXPECT_EQ(print.lines(),
              (std::vector<std::string>{"Overfull Down-Message queue\n",
                                        "Unhandled Down-Message queue sleep error\n",
                                        "Error -97 sending down-message: Thread-related error\n"}));
    mvFlushDownQueueImpl(sink_.get());
    EXPECT_EQ(journal_.ran, range(0, capacityInMessages(sink_.get()->downQueue)))
        << "the failed message is dropped";
}

} // namespace
