#include "engine/relation_index.h"

#include "engine/relations.h"

void RelationIndex::add(const Package& p, size_t position) {
    std::vector<std::string> names;
    answersTo(p, names);
    for (const std::string& name : names) answering_.add(name, position);
    names.clear();
    conflictReach(p, names);
    for (const std::string& name : names) reaching_.add(name, position);
}

void RelationIndex::conflictedBy(const Package& p, std::vector<size_t>& out) const {
    std::vector<std::string> names;
    conflictReach(p, names);
    answering_.collect(names, out);
}

void RelationIndex::conflictingWith(const Package& p, std::vector<size_t>& out) const {
    std::vector<std::string> names;
    answersTo(p, names);
    reaching_.collect(names, out);
}

void RelationIndex::neededBy(const Package& p, std::vector<size_t>& out) const {
    std::vector<std::string> names;
    needNames(p, names);
    answering_.collect(names, out);
}
