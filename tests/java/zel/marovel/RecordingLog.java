package zel.marovel;

import java.util.ArrayList;
import java.util.List;

/** An Appendable that remembers every text and the thread that appended it. */
class RecordingLog implements Appendable {
    final StringBuffer text = new StringBuffer();
    final List<Thread> threads = new ArrayList<>();

    @Override
    public synchronized Appendable append(CharSequence s) {
        text.append(s);
        threads.add(Thread.currentThread());
        return this;
    }

    @Override
    public Appendable append(CharSequence s, int start, int end) {
        return append(s.subSequence(start, end));
    }

    @Override
    public Appendable append(char c) {
        return append(String.valueOf(c));
    }

    synchronized List<Thread> threads() {
        return new ArrayList<>(threads);
    }
}
