<?xml version='1.0' encoding='utf-8'?>
	<ModelInfo>
		<ModelName>yard</ModelName>
		<Agents>
			<Agent name='depot_truck'>
				<state name='parked'>
					<mesh scale='1.000000'>truck.obj</mesh>
					<pos x='0.000000' y='0.000000' z='0.000000' />
					<rot x='0.000000' y='0.000000' z='0.000000' />
				</state>
				<state name='loading'>
					<mesh scale='1.000000'>truck.obj</mesh>
					<pos x='0.000000' y='0.000000' z='4.000000' />
					<rot x='0.000000' y='0.000000' z='0.000000' />
				</state>
				<state name='driving'>
					<mesh scale='1.000000'>truck.obj</mesh>
					<pos x='8.000000' y='0.000000' z='4.000000' />
					<rot x='0.000000' y='0.000000' z='0.000000' />
				</state>
				<state name='done'>
					<mesh scale='0.500000'>truck.obj</mesh>
					<pos x='8.000000' y='0.000000' z='8.000000' />
					<rot x='0.000000' y='1.500000' z='0.000000' />
				</state>
			</Agent>
		</Agents>
	</ModelInfo>
