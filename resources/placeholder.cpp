void updateResourcesPlaceholder() {}
