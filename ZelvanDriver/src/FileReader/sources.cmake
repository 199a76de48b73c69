target_sources(ZelvanDriver PRIVATE
)
