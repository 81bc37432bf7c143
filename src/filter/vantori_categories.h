// The site categories: the numbers, names and captions of the categories
// the category service scores sites in.
//
// A score vector has CATEGORY_SCORES (32) slots, one per category number;
// numbers 0 to 30 have a name, slot 31 has none (the service never fills it,
// the cache file carries it, the category page shows it without caption).
// Names are compared exactly (case-sensitive).
#pragma once

#include <map>
#include <string>

// Categories that have a name (numbers 0 to VANTORI_NAMED_CATEGORIES - 1).
constexpr int VANTORI_NAMED_CATEGORIES = 31;

struct vantori_category_t {
    const char* name;    // what the service names it, e.g. "adult_education"
    const char* caption; // the heading of the category page, e.g. "Adult Education"
};

// By category number.
extern const vantori_category_t vantori_categories[VANTORI_NAMED_CATEGORIES];

// The category table: category name -> category number; made before main
// and never changed, so it is read without a lock.
extern const std::map<std::string, int> data;

// The number of a category name, or -1 when no category has that name.
int vantori_category_number(const char* name);
