#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <list>
#include <utility>

#include <opencv2/core.hpp>

// Decoded cell images by file path, least recently used dropped first. Only the alignment reads
// cells back, and it wants the cells of the frames just seen, so a small window is enough.
class ImageCache {
public:
    explicit ImageCache(std::size_t capacity = 100)
        : m_capacity(capacity) {}

    // On a hit the image (shared, not copied) goes to image and becomes the most recent.
    bool find(const QString &path, cv::Mat &image) {
        const auto it = m_index.constFind(path);
        if (it == m_index.constEnd())
            return false;
        m_entries.splice(m_entries.begin(), m_entries, it.value());
        image = m_entries.front().second;
        return true;
    }

    // Puts the pair first, replacing an older pair of the same path, and drops the least
    // recently used pairs beyond the capacity.
    void insert(const QString &path, const cv::Mat &image) {
        remove(path);
        m_entries.emplace_front(path, image);
        m_index.insert(path, m_entries.begin());
        while (m_entries.size() > m_capacity) {
            m_index.remove(m_entries.back().first);
            m_entries.pop_back();
        }
    }

    void remove(const QString &path) {
        const auto it = m_index.find(path);
        if (it == m_index.end())
            return;
        m_entries.erase(it.value());
        m_index.erase(it);
    }

    bool contains(const QString &path) const { return m_index.contains(path); }
    std::size_t size() const { return m_entries.size(); }
    std::size_t capacity() const { return m_capacity; }

    // Paths from the most to the least recently used.
    QStringList paths() const {
        QStringList result;
        for (const auto &entry : m_entries)
            result.append(entry.first);
        return result;
    }

private:
    using Entry = std::pair<QString, cv::Mat>;
    std::list<Entry> m_entries;
    QHash<QString, std::list<Entry>::iterator> m_index;
    std::size_t m_capacity;
};
