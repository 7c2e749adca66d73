// A module with no resources of its own. The status window tests copy it and
// write into the copy the pictures they need.
