#pragma once

#include "catalogue/build_run.h"
#include "listing/folder_listing.h"

#include <functional>
#include <string>
#include <vector>

namespace aster::test {

// Plays the window for a build run: fixed option states (or a function of the number of
// times the run has asked), and a record of every message shown, in order.
class FakeCatalogueHost : public CatalogueHost {
  public:
    explicit FakeCatalogueHost(std::string folder) : m_folder(std::move(folder)) {}

    bool blanks = false;
    bool polys = false;
    bool spread = false;
    std::vector<std::string> messages;
    std::vector<std::string> queries; // which options were read, in order
    bool recordQueries = true;
    std::function<void(FakeCatalogueHost&)> onPolysQuery;

    std::string folderPath() override {
        record("folder");
        return m_folder;
    }
    bool blanksSelected() override {
        record("blanks");
        return blanks;
    }
    bool polysSelected() override {
        record("polys");
        if (onPolysQuery)
            onPolysQuery(*this);
        return polys;
    }
    bool spreadSelected() override {
        record("spread");
        return spread;
    }
    void showMessage(const std::string& prompt) override { messages.push_back(prompt); }

  private:
    void record(const char* query) {
        if (recordQueries)
            queries.push_back(query);
    }

    std::string m_folder;
};

class FakeListingHost : public ListingHost {
  public:
    explicit FakeListingHost(std::string folder) : m_folder(std::move(folder)) {}
    std::string folderPath() override { return m_folder; }

  private:
    std::string m_folder;
};

} // namespace aster::test
