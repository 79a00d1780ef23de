// frame geometry
