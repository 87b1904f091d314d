# SPDX-License-Identifier: ISC
# cpack reads this three times for each package: before the generator runs
# (as the project's config file), once the files are staged, and once the
# package is made.
set(docs ${CPACK_MKDIR_PROBE_DOCS})
if(NOT CPACK_TEMPORARY_DIRECTORY)
	file(READ ${docs}/licenses license)
	string(STRIP "${license}" CPACK_RPM_PACKAGE_LICENSE)
	# Lintian's overrides mean nothing to RPM distributions.
	set(CPACK_RPM_USER_FILELIST
		"%license /usr/${CPACK_MKDIR_PROBE_DOCDIR}/copyright"
		"%exclude /usr/share/lintian/overrides/mkdir-probe")
	list(APPEND CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
		/usr/share/lintian /usr/share/lintian/overrides)
elseif(NOT CPACK_PACKAGE_FILES)
	# rpmbuild only lowers file times that are later than
	# SOURCE_DATE_EPOCH: set every staged file's to it, also for a commit
	# dated ahead of the clock.
	if(DEFINED ENV{SOURCE_DATE_EPOCH})
		execute_process(COMMAND find ${CPACK_TEMPORARY_INSTALL_DIRECTORY}
			-exec touch -h -d @$ENV{SOURCE_DATE_EPOCH} {} +
			COMMAND_ERROR_IS_FATAL ANY)
	endif()
elseif(CPACK_GENERATOR STREQUAL DEB AND EXISTS ${docs}/built-using)
	# The source packages whose code the static binary holds, so that the
	# archive keeps the sources that its licences refer to. Debian 12's
	# lintian takes Static-Built-Using for an unknown field. CPack knows
	# neither: dpkg-deb builds the package again with the field.
	file(READ ${docs}/built-using using)
	string(STRIP "${using}" using)
	set(tree ${CPACK_TOPLEVEL_DIRECTORY}/with-fields)
	foreach(deb IN LISTS CPACK_PACKAGE_FILES)
		file(REMOVE_RECURSE ${tree})
		execute_process(COMMAND dpkg-deb -R ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
		file(READ ${tree}/DEBIAN/control control)
		string(STRIP "${control}" control)
		file(WRITE ${tree}/DEBIAN/control "${control}\nBuilt-Using: ${using}\n")
		if(DEFINED ENV{SOURCE_DATE_EPOCH})
			execute_process(COMMAND touch -d @$ENV{SOURCE_DATE_EPOCH}
				${tree}/DEBIAN/control COMMAND_ERROR_IS_FATAL ANY)
		endif()
		execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip -z9 --build
			${tree} ${deb} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
	endforeach()
endif()
