// SPDX-License-Identifier: ISC
// node packaging/validate-sbom.mjs SBOM...: check each SBOM against the
// CycloneDX 1.5 JSON schema, with CycloneDX's own library and the schema
// that it ships (npm ci --prefix packaging installs them).
import { readFile } from 'node:fs/promises'
import { Spec, Validation } from '@cyclonedx/cyclonedx-library'

const validator = new Validation.JsonStrictValidator(Spec.Version.v1dot5)
let failed = 0
for (const file of process.argv.slice(2)) {
  const errors = await validator.validate(await readFile(file, 'utf8'))
  if (errors !== null) {
    console.error(`${file}: not CycloneDX 1.5: ${JSON.stringify(errors)}`)
    failed = 1
  }
}
process.exit(failed)
